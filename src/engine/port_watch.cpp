#include "engine/port_watch.h"

#include <cstdio>

#include "engine/comm_log.h"
#include "engine/frame_receiver.h"
#include "engine/port_control.h"

namespace tarvik {

PortWatch::SteadyClock::time_point PortWatch::Check(Engine& engine, SteadyClock::time_point now) {
  EngineState& s = engine.state;
  if (!Lost()) {
    // The device is looked at before and after the flag: the window thread raises `portOpen`
    // only after the device opened and clears it before closing, so an operator's own open or
    // close in between is never taken for a loss.
    if (!engine.port.IsOpen() && s.portOpen.load() != 0 && !engine.port.IsOpen()) {
      DeclareLost(engine, now);
    }
    return nextAttempt_;
  }
  // The operator opened a port meanwhile (the Properties dialog): nothing is lost any more.
  if (s.portOpen.load() != 0) {
    nextAttempt_ = SteadyClock::time_point::max();
    return nextAttempt_;
  }
  if (now < nextAttempt_) return nextAttempt_;
  if (TryReopen(engine)) return nextAttempt_;
  ReportWhyNotBack(engine);
  nextAttempt_ = now + std::chrono::milliseconds(kPortReopenIntervalMs);
  return nextAttempt_;
}

void PortWatch::ReportWhyNotBack(Engine& engine) {
  // Said once, and again only when the reason changes (the device is back but busy, or refuses
  // the line settings), so a long absence does not fill standard error.
  const std::string reason = engine.port.OpenFailureReason();
  if (reason.empty() || reason == lastReason_) return;
  lastReason_ = reason;
  std::fprintf(stderr, "tarvik-host: %s is not back yet: %s\n", device_.c_str(), reason.c_str());
  std::fflush(stderr);
}

void PortWatch::DeclareLost(Engine& engine, SteadyClock::time_point now) {
  EngineState& s = engine.state;
  std::uint8_t open = 1;
  // Lost only once, and not when the operator closed the port in the meantime.
  if (!s.portOpen.compare_exchange_strong(open, 0)) return;
  device_ = ConfiguredPortText(engine);
  lastReason_.clear();
  nextAttempt_ = now + std::chrono::milliseconds(kPortReopenIntervalMs);

  // Nothing can answer any more: the open exchange ends here, and neither polling nor an answer
  // deadline keeps running to report a silence the operator already knows the reason for. The
  // download watchdog stays, so a normal download still ends by its own time-out.
  engine.ui.StopTimer(kPollingTimer);
  // An expiry of timer 3 already on its way must not surface as a time-out after the reopen.
  CancelResponseTimer(engine);
  s.awaitingResponse.store(0);
  s.armResponseTimer.store(0);
  s.transactionStep.store(kStepNone);
  s.reapplySettings.store(0);
  s.immediateStatusRequest.store(0);
  {
    std::lock_guard lock(s.queueMutex);
    s.commandQueued.store(0);
  }

  engine.ui.ShowCommStatus(kPortLostStatusText);
  engine.ui.ShowValidatorStatus("");
  LogHostEvent(engine, "Port lost: " + device_ + " went away. Reopening it when it returns.");
}

bool PortWatch::TryReopen(Engine& engine) {
  EngineState& s = engine.state;
  // Open applies the line settings afresh, exactly as at start-up.
  if (OpenPortFromSettings(engine) != 1) return false;
  nextAttempt_ = SteadyClock::time_point::max();
  s.portOpen.store(1);
  engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
  LogHostEvent(engine, "Port reopened: " + ConfiguredPortText(engine) + ". Polling resumes.");
  return true;
}

}  // namespace tarvik
