// The worker's last line of defence against an exchange that nothing will ever end: open, with
// no follow-up queued, no answer and nothing sent for longer than any deadline the host arms.
// The response table and the sender keep that from happening; should a path still leave an
// exchange so, the operator's keys would be held and polling stopped for good. The watch ends
// it with a log line saying so, and the host goes on polling.
#pragma once

#include <chrono>
#include <cstdint>

#include "engine/engine.h"

namespace tarvik {

// Far beyond the 300 ms answer deadline and the pause after INITIALIZE; a healthy line never
// stays quiet this long while an exchange is open.
inline constexpr int kStuckExchangeMs = 3000;
// A normal download is guarded by its own 20-second watchdog; the watch waits longer still.
inline constexpr int kStuckDownloadMs = 25000;

class ExchangeWatch {
 public:
  using SteadyClock = std::chrono::steady_clock;

  // Looks at the engine after a worker pass; ends the open exchange when it has gone quiet for
  // too long and returns true then.
  bool Check(Engine& engine, SteadyClock::time_point now);
  // When the open exchange would be ended if nothing happens; max() when none is watched.
  SteadyClock::time_point Deadline() const;

 private:
  std::uint32_t seenActivity_ = 0;
  // When the watched exchange ends if nothing happens; max() while none is watched.
  SteadyClock::time_point deadline_ = SteadyClock::time_point::max();
};

}  // namespace tarvik
