#include "ui/qt/qt_front_end.h"

#include <QApplication>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <cstdlib>

#include "engine/engine.h"
#include "transport/serial_port.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/info_download_tab.h"
#include "ui/qt/info_log_tab.h"
#include "ui/qt/properties_dlg.h"
#include "ui/qt/qt_window_services.h"

namespace tarvik {

namespace {

// Long enough for the worker's start-up (port open, first polls) to show.
constexpr int kScreenshotDelayMs = 1500;

// What a screenshot shows: the window as it starts, with its Log page in front, or the
// Properties dialog opened from the menu.
enum class ScreenshotView { Window, LogPage, Properties, Download };

// "download:FILE" pictures the Download page during a normal download of FILE.
constexpr QLatin1StringView kDownloadViewPrefix("download:");
// The download starts once the worker has opened the line; the picture follows a second later.
constexpr int kDownloadStartDelayMs = 500;

// The view a --screenshot-view the command line took names.
ScreenshotView ViewOf(const QString& name) {
  if (name == QLatin1String("log")) return ScreenshotView::LogPage;
  if (name == QLatin1String("properties")) return ScreenshotView::Properties;
  if (name.startsWith(kDownloadViewPrefix)) return ScreenshotView::Download;
  return ScreenshotView::Window;
}

}  // namespace

int RunQtWindow(int argc, char** argv, const HostOptions& options) {
  int toolkitArgc = argc;  // QApplication keeps a reference to it for its whole life
  QApplication app(toolkitArgc, argv);
  const QString screenshot = QString::fromStdString(options.screenshotPath);
  // --screenshot-delay MS waits longer, for a picture of a later moment (a note cycle of --demo).
  const int screenshotDelayMs = options.screenshotDelayMs.value_or(kScreenshotDelayMs);
  const QString viewName = QString::fromStdString(options.screenshotView);
  const ScreenshotView view = ViewOf(viewName);

  SerialPort port;
  if (!options.device.empty()) port.SetDeviceOverride(options.device);
  RealClock clock;
  qt::QtWindowServices services;
  Engine engine(services, port, clock);
  services.Attach(&engine);
  ApplyHostOptions(options, engine);

  qt::HostSimulatorDlg::Options windowOptions;
  windowOptions.settingsPath = options.settingsPath;
  windowOptions.acceptanceLog = options.acceptanceLog;
  windowOptions.lineDescriptor = [&port] { return port.WaitDescriptor(); };
  qt::HostSimulatorDlg window(engine, services, windowOptions);

  if (!screenshot.isEmpty()) {
    if (view == ScreenshotView::LogPage) window.tabs()->setCurrentWidget(window.logTab());
    if (view == ScreenshotView::Download) {
      window.tabs()->setCurrentWidget(window.downloadTab());
      // The picture's download is confirmed without asking; every box is answered.
      services.SetMessageHook([](const qt::QtWindowServices::MessageRequest& request,
                                 std::function<void(MessageResult)> answer) {
        answer(request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok);
      });
      const QString file = viewName.mid(kDownloadViewPrefix.size());
      QTimer::singleShot(kDownloadStartDelayMs, &window, [&window, file] {
        qt::InfoDownloadTab* tab = window.downloadTab();
        tab->SetFileChooser([file] { return file; });
        tab->button(qt::InfoDownloadTab::Control::Browse)->click();
        tab->button(qt::InfoDownloadTab::Control::NormalDownload)->click();
      });
    }
    if (view == ScreenshotView::Properties) {
      QTimer::singleShot(0, &window, [&window] { window.OnProperties(); });
    }
    QTimer::singleShot(screenshotDelayMs, &window, [&window, screenshot, view] {
      QWidget* shown = &window;
      if (view == ScreenshotView::Properties && window.propertiesDlg() != nullptr) {
        shown = window.propertiesDlg();
      }
      const bool saved = shown->grab().save(screenshot);
      std::fflush(nullptr);
      std::_Exit(saved ? 0 : 1);
    });
  }
  // The program is one modal dialog; Exit ends the process from inside it.
  window.exec();
  return 0;
}

}  // namespace tarvik
