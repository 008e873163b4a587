#include "ui/qt/qt_front_end.h"

#include <QApplication>
#include <QPushButton>
#include <QStringList>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
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

// The value of `--name=VALUE` or `--name VALUE`; empty when the option is not given. As for the
// host's other options, an option after it is not its value ("--screenshot --demo" would save
// the picture as "--demo"): `missing` then names the option.
QString OptionValue(const QStringList& arguments, const QString& option, QString& missing) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i].startsWith(option + QLatin1Char('=')))
      return arguments[i].mid(option.size() + 1);
    if (arguments[i] != option) continue;
    if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--"))) {
      return arguments[i + 1];
    }
    missing = option;
    return {};
  }
  return {};
}

// What a screenshot shows: the window as it starts, with its Log page in front, or the
// Properties dialog opened from the menu.
enum class ScreenshotView { Window, LogPage, Properties, Download, Unknown };

// "download:FILE" pictures the Download page during a normal download of FILE.
constexpr QLatin1StringView kDownloadViewPrefix("download:");
// The download starts once the worker has opened the line; the picture follows a second later.
constexpr int kDownloadStartDelayMs = 500;

ScreenshotView ViewOf(const QString& name) {
  if (name.isEmpty() || name == QLatin1String("window")) return ScreenshotView::Window;
  if (name == QLatin1String("log")) return ScreenshotView::LogPage;
  if (name == QLatin1String("properties")) return ScreenshotView::Properties;
  if (name.startsWith(kDownloadViewPrefix) && name.size() > kDownloadViewPrefix.size()) {
    return ScreenshotView::Download;
  }
  return ScreenshotView::Unknown;
}

}  // namespace

int RunQtWindow(int argc, char** argv, const HostOptions& options) {
  int toolkitArgc = argc;  // QApplication keeps a reference to it for its whole life
  QApplication app(toolkitArgc, argv);
  QString missing;
  const QString screenshot =
      OptionValue(QApplication::arguments(), QStringLiteral("--screenshot"), missing);
  // --screenshot-delay MS waits longer, for a picture of a later moment (a note cycle of --demo).
  bool delayGiven = false;
  const int delay =
      OptionValue(QApplication::arguments(), QStringLiteral("--screenshot-delay"), missing)
          .toInt(&delayGiven);
  const int screenshotDelayMs = delayGiven && delay >= 0 ? delay : kScreenshotDelayMs;
  const QString viewName =
      OptionValue(QApplication::arguments(), QStringLiteral("--screenshot-view"), missing);
  if (!missing.isEmpty()) {
    std::fprintf(stderr, "tarvik-host: %s needs a value\n", qPrintable(missing));
    return kExitUsage;
  }
  const ScreenshotView view = ViewOf(viewName);
  if (view == ScreenshotView::Unknown) {
    std::fprintf(stderr,
                 "tarvik-host: --screenshot-view takes window, log, properties or download:FILE, "
                 "not %s\n",
                 qPrintable(viewName));
    return kExitUsage;
  }

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
