// Low-latency mode of a serial device. USB serial adapters hold back short replies until their
// latency timer runs out (16 ms by default on the common chips), which adds that much to every
// turnaround and about a minute to a large download. Where the driver lets it, the port is
// switched to low latency on open and put back as it was on close.
#pragma once

#include <string>

namespace tarvik {

// What EnterLowLatency changed, so that LeaveLowLatency can undo exactly that.
struct LowLatencyChange {
  bool serialFlagSet = false;  // ASYNC_LOW_LATENCY was raised with TIOCSSERIAL
  std::string timerPath;       // the latency_timer file written ("" when none)
  std::string oldTimer;        // its value before, as read
};

// Asks the open device `fd` (opened as `path`) for low latency: first the driver's
// ASYNC_LOW_LATENCY flag, then the adapter's latency_timer in sysfs (under `sysRoot`, "" for the
// real system) where it is writable. `report` says what was done, or why nothing was, in one
// sentence for the operator.
LowLatencyChange EnterLowLatency(int fd, const std::string& path, const std::string& sysRoot,
                                 std::string& report);
// Puts back what EnterLowLatency changed; call before closing `fd`. Returns "" when done (or
// when the device, and its setting with it, has gone), else why it could not.
std::string LeaveLowLatency(int fd, const LowLatencyChange& change);
// Puts back what the last EnterLowLatency changed and no LeaveLowLatency undid yet; for a fatal
// signal, before the process dies. Async-signal-safe.
void UndoLowLatencyForSignal();

}  // namespace tarvik
