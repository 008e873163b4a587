// The main window: the communication log, the three tab pages, the "User Settings" group and the
// protocol command buttons with their keyboard shortcuts. Every button and key only posts an
// operator command character (or runs a mode operation); the worker thread does the talking.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

class QAction;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace tarvik {
class Worker;
}

namespace tarvik::qt {

class InfoBasicTab;
class InfoDownloadTab;
class InfoLogTab;
class LogBox;
class PropertiesDlg;
class QtWindowServices;

class HostSimulatorDlg : public QDialog {
  Q_OBJECT

 public:
  struct Options {
    std::string settingsPath;  // the settings file; empty for the default location
    bool startWorker = true;   // a test drives the engine itself
    // The line's descriptor (-1 when closed), so the worker sleeps until an answer arrives.
    std::function<int()> lineDescriptor;
    // Enables Init Log ( 1 ) and Read Log ( 2 ) with their keys, for validators that support
    // the acceptance-data exchange; otherwise they stay disabled like the rest of their group.
    bool acceptanceLog = false;
  };

  // Builds the window, binds it to `services`, initialises the engine and, last, starts the
  // worker thread. `services` must be the window services `engine` was built with.
  HostSimulatorDlg(Engine& engine, QtWindowServices& services, Options options,
                   QWidget* parent = nullptr);
  ~HostSimulatorDlg() override;

  // What Exit does once the operator said Yes and the port is closed: by default end the
  // process at once with status 0. The worker has been stopped before it runs.
  void SetTerminateHook(std::function<void()> hook) { terminate_ = std::move(hook); }

  // The controls by their numbers in the layout (nullptr for an unknown number).
  QPushButton* button(int id) const;
  QLineEdit* valueBox(int id) const;
  QLabel* label(int id) const;
  InfoBasicTab* infoTab() const { return infoTab_; }
  InfoDownloadTab* downloadTab() const { return downloadTab_; }
  InfoLogTab* logTab() const { return logTab_; }
  // The open Properties dialog, or nullptr.
  PropertiesDlg* propertiesDlg() const;
  LogBox* logBox() const { return logBox_; }
  QTabWidget* tabs() const { return tabs_; }
  QAction* propertiesAction() const { return propertiesAction_; }
  QAction* showTimestampsAction() const { return showTimestampsAction_; }
  QAction* statisticsAction() const { return statisticsAction_; }
  // The value box that last had the focus; Enter clicks the set button beside it.
  QLineEdit* lastValueBox() const { return lastValueBox_; }

  // The menu and system commands.
  void OnExit();
  void OnOk();
  void OnVersion();
  void OnAbout();
  // Opens the "Statistics" window (not modal, so the log goes on while it is read).
  void OnStatistics();
  void OnProperties();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  QMenuBar* BuildMenus(QVBoxLayout* layout);
  void BuildClient(QWidget* client);
  // Places the controls for a client area of `size` (at least the layout's size).
  void FitClient(QSize size);
  // The click operation of button `id` (a row of the button tables).
  void OnButton(int id);
  void OnChangeButton(int buttonId);
  void ClickButton(int id);
  bool HandleKey(const QKeyEvent& key, QWidget* target);
  bool IsValueBox(const QObject* object) const;
  void StopWorker();

  Engine& engine_;
  QtWindowServices& services_;
  std::unique_ptr<Worker> worker_;
  std::function<void()> terminate_;

  QWidget* client_ = nullptr;
  std::vector<std::pair<QPointer<QWidget>, QRect>> placesAtLayoutSize_;
  LogBox* logBox_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  InfoBasicTab* infoTab_ = nullptr;
  InfoDownloadTab* downloadTab_ = nullptr;
  InfoLogTab* logTab_ = nullptr;
  QAction* propertiesAction_ = nullptr;
  QAction* showTimestampsAction_ = nullptr;
  QAction* statisticsAction_ = nullptr;
  std::string settingsPath_;
  // The modeless Properties dialog while it is open; null otherwise.
  QPointer<PropertiesDlg> propertiesDlg_;
  std::map<int, QPushButton*> buttons_;
  std::map<int, QLineEdit*> valueBoxes_;
  std::map<int, QLabel*> labels_;
  QLineEdit* lastValueBox_ = nullptr;
  bool acceptanceLog_ = false;
};

}  // namespace tarvik::qt
