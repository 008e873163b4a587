// The clock of the fuzz targets: time moves only by the waits the engine asks for, so a wait for
// the rest of a frame ends at its deadline at once and every input runs in microseconds.
#pragma once

#include "engine/engine.h"

namespace tarvik::fuzz {

class FuzzClock final : public Clock {
 public:
  void Pause(int ms) override { now_ += std::chrono::milliseconds(ms); }
  std::tm LocalTime() override { return {}; }
  TimePoint Now() override { return now_; }
  void WaitForInput(SerialLink&, std::chrono::microseconds timeout) override { now_ += timeout; }

 private:
  TimePoint now_{};
};

}  // namespace tarvik::fuzz
