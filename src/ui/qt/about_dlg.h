// The program's icon and its About box.
#pragma once

#include <QDialog>
#include <QIcon>

namespace tarvik::qt {

// Drawn in code: a banknote with the letter T, at the sizes a window manager asks for.
QIcon AppIcon();

class AboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDlg(QWidget* parent = nullptr);
};

}  // namespace tarvik::qt
