// The "Download" page: chooses the target file, shows its path, CRC and header, starts a normal
// or a global download, and shows how far a download has come: a progress bar with the bytes
// and the time left, and during a global download's fixed waits a count-down, so a 60 s wait
// never looks like a hang.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <functional>

#include "engine/engine.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tarvik::qt {

class InfoDownloadTab : public QWidget {
  Q_OBJECT

 public:
  // The controls by their numbers in the page layout.
  enum class Control {
    TargetFile = 1039,
    Crc = 1040,
    Header = 1041,
    Browse = 1120,
    NormalDownload = static_cast<int>(DownloadButton::Normal),
    GlobalDownload = static_cast<int>(DownloadButton::Global),
  };

  explicit InfoDownloadTab(Engine& engine, QWidget* parent = nullptr);

  // What Browse asks for the file: by default the file-open dialog; an empty text is Cancel.
  void SetFileChooser(std::function<QString()> chooser) { chooseFile_ = std::move(chooser); }

  QLineEdit* field(Control which) const;
  QPushButton* button(Control which) const;
  QProgressBar* progressBar() const { return progress_; }
  QLabel* progressText() const { return progressText_; }

  // A download's progress (window thread).
  void ShowProgress(const DownloadProgress& progress);

 private:
  void OnBrowse();
  void UpdateCountdown();

  Engine& engine_;
  std::function<QString()> chooseFile_;
  QLineEdit* path_ = nullptr;
  QLineEdit* crc_ = nullptr;
  QLineEdit* header_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* normal_ = nullptr;
  QPushButton* global_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* progressText_ = nullptr;

  QTimer* countdown_ = nullptr;  // ticks each second while a fixed wait runs
  // The last report; before the first, as if a download had ended.
  DownloadProgress lastProgress_{.stage = DownloadProgress::Stage::Stopped};
  QElapsedTimer sendingSince_;  // since the download's first packet
  QElapsedTimer waitingSince_;  // since the current fixed wait began
};

}  // namespace tarvik::qt
