#include "engine/port_control.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "transport/serial_port.h"

namespace tarvik {

namespace {

constexpr std::string_view kDownloadRunningText =
    "You can not close the COM port until download is completed.";
constexpr std::string_view kTransactionOpenText =
    "You can not close the COM port until the current transaction is completed.";
constexpr std::string_view kPortUnavailableText =
    "This COM port is not available. Use another COM port.";

void ReportOpenFailure(const Engine& engine) {
  std::string reason = engine.port.OpenFailureReason();
  if (reason.empty()) reason = "the device did not open";
  std::fprintf(stderr, "tarvik-host: %s is not available: %s\n", ConfiguredPortText(engine).c_str(),
               reason.c_str());
  std::fflush(stderr);
}

}  // namespace

std::string ConfiguredPortText(const Engine& engine) {
  return engine.port.DisplayTextForPort(PortNumberFromIndex(engine.state.com_port_index.load()));
}

int OpenPortFromSettings(Engine& engine) {
  const EngineState& s = engine.state;
  return engine.port.Open(PortNumberFromIndex(s.com_port_index.load()),
                          BaudRateFromIndex(s.baud_rate_index.load()));
}

bool ToggleComPort(Engine& engine) {
  EngineState& s = engine.state;
  if (s.portOpen.load() != 0) {
    if (s.globalDownloadActive.load() != 0) {
      engine.ui.ShowMessage(kDownloadRunningText, MessageIcon::None, MessageButtons::Ok);
      return false;
    }
    if (s.awaitingResponse.load() != 0) {
      engine.ui.ShowMessage(kTransactionOpenText, MessageIcon::None, MessageButtons::Ok);
      return false;
    }
    // The flag goes first: the worker leaves the line alone from its next cycle on, before the
    // timers that would queue more traffic stop and the device goes away.
    s.portOpen.store(0);
    engine.ui.StopTimer(kDownloadTimer);
    engine.ui.StopTimer(kPollingTimer);
    engine.ui.StopTimer(kResponseTimer);
    engine.port.Close();
    return true;
  }

  if (OpenPortFromSettings(engine) == 1) {
    s.portOpen.store(1);
    engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
    return true;
  }
  // The box keeps its one sentence; the engineer finds why, and the fix, on standard error.
  ReportOpenFailure(engine);
  engine.ui.ShowMessage(kPortUnavailableText, MessageIcon::None, MessageButtons::Ok);
  return false;
}

}  // namespace tarvik
