// The "Log" page: choose the log file, then start and stop recording the communication log
// into it. What the buttons do is the engine's (engine/log_tab.h); the page shows its state.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "engine/engine.h"
#include "engine/log_tab.h"

class QLineEdit;
class QPushButton;

namespace tarvik::qt {

class InfoLogTab : public QWidget {
  Q_OBJECT

 public:
  // Asks the operator for the log file: the chosen path, or nothing when cancelled.
  using FileChooser = std::function<std::optional<QString>()>;

  explicit InfoLogTab(Engine& engine, QWidget* parent = nullptr);

  // Replaces the platform's file-save dialog (a test answers it).
  void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }

  QLineEdit* pathField() const { return pathField_; }          // 1042
  QPushButton* browseButton() const { return browseButton_; }  // 1005
  QPushButton* recordButton() const { return recordButton_; }  // 1006

 private:
  void OnBrowse();
  void OnStartStop();

  Engine& engine_;
  LogTabState state_;
  FileChooser chooser_;
  QLineEdit* pathField_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPushButton* recordButton_ = nullptr;
};

}  // namespace tarvik::qt
