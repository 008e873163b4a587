// The serial device can go away under an open port: a USB adapter unplugged, the far end of a
// pseudo-terminal closed. The port then closes its descriptor on its own. Left at that, the
// engine would go on "sending" into nothing, log bare time-outs and never come back; the watch
// turns the loss into a state the operator sees ("Port lost"), and tries the same device again
// about once a second until it opens, so the host picks up where it stopped once the device
// returns.
//
// The worker calls it after every pass with the current time; it answers when it next needs a
// look, so a lost port costs one open attempt a second and no busy waiting.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

// Between two attempts to reopen a lost port.
inline constexpr int kPortReopenIntervalMs = 1000;
// The "Comminucation Status" field while the port is lost.
inline constexpr std::string_view kPortLostStatusText = "Port lost";

class PortWatch {
 public:
  using SteadyClock = std::chrono::steady_clock;

  // Declares the port lost when `portOpen` says open but the device has closed; while lost,
  // reopens it from the settings once `kPortReopenIntervalMs` has passed since the last attempt.
  // Returns when the next attempt is due, or max() while no port is lost.
  SteadyClock::time_point Check(Engine& engine, SteadyClock::time_point now);

  bool Lost() const { return nextAttempt_ != SteadyClock::time_point::max(); }

 private:
  void DeclareLost(Engine& engine, SteadyClock::time_point now);
  bool TryReopen(Engine& engine);
  // Why the last attempt failed, on standard error, when that reason is new.
  void ReportWhyNotBack(Engine& engine);

  // When the next attempt to reopen the lost port is due; max() while no port is lost.
  SteadyClock::time_point nextAttempt_ = SteadyClock::time_point::max();
  std::string device_;  // the lost port as the operator knows it, "COM1 (/dev/ttyUSB0)"
  std::string lastReason_;  // why the last attempt failed, as reported
};

}  // namespace tarvik
