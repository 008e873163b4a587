#include "ui/qt/qt_front_end.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"
#include "transport/serial_port.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/qt_window_services.h"

namespace tarvik {

namespace {

// Long enough for the worker's start-up (port open, first polls) to show.
constexpr int kScreenshotDelayMs = 1500;

QString ScreenshotPath(const QStringList& arguments) {
  const QString option = QStringLiteral("--screenshot");
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i].startsWith(option + QLatin1Char('='))) return arguments[i].mid(option.size() + 1);
    if (arguments[i] == option && i + 1 < arguments.size()) return arguments[i + 1];
  }
  return {};
}

}  // namespace

int RunQtWindow(int argc, char** argv, const HostOptions& options) {
  int toolkitArgc = argc;  // QApplication keeps a reference to it for its whole life
  QApplication app(toolkitArgc, argv);
  const QString screenshot = ScreenshotPath(QApplication::arguments());

  SerialPort port;
  if (!options.device.empty()) port.SetDeviceOverride(options.device);
  RealClock clock;
  qt::QtWindowServices services;
  Engine engine(services, port, clock);
  services.Attach(&engine);

  qt::HostSimulatorDlg::Options windowOptions;
  windowOptions.settingsPath = options.settingsPath;
  windowOptions.acceptanceLog = options.acceptanceLog;
  windowOptions.lineDescriptor = [&port] { return port.WaitDescriptor(); };
  qt::HostSimulatorDlg window(engine, services, windowOptions);

  if (!screenshot.isEmpty()) {
    QTimer::singleShot(kScreenshotDelayMs, &window, [&window, screenshot] {
      const bool saved = window.grab().save(screenshot);
      std::fflush(nullptr);
      std::_Exit(saved ? 0 : 1);
    });
  }
  // The program is one modal dialog; Exit ends the process from inside it.
  window.exec();
  return 0;
}

}  // namespace tarvik
