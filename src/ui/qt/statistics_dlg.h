// "Statistics": the run summary so far (exchanges per command, receive errors, notes), as the
// console prints it at the end of a run.
#pragma once

#include <QDialog>

#include "engine/engine.h"

class QPlainTextEdit;

namespace tarvik::qt {

class StatisticsDlg : public QDialog {
  Q_OBJECT

 public:
  explicit StatisticsDlg(Engine& engine, QWidget* parent = nullptr);

  // Reads the engine's statistics again.
  void Refresh();
  QString text() const;

 private:
  Engine& engine_;
  QPlainTextEdit* view_ = nullptr;
};

}  // namespace tarvik::qt
