// What the in-process benchmarks share: window services that do nothing, a line that plays a
// validator answering at once, the resident memory of the process, and a log entry as the host
// writes it in "Binary and Full".
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "engine/engine.h"
#include "support/null_window_services.h"

namespace tarvik::bench {

// Window services that do nothing: the front-end's cost is not the engine's.
using NullWindow = testing::NullWindowServices;

class NoWaitClock final : public Clock {
 public:
  void Pause(int) override {}
  std::tm LocalTime() override { return {}; }
};

// A validator that answers every status request at once with IDLING: what the host writes is
// answered before its next read.
class AnsweringLink final : public SerialLink {
 public:
  int Open(int, int) override { return 1; }
  int Close() override { return 1; }
  int Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) override;
  int Read(std::uint8_t* buffer, std::uint32_t count) override;
  bool IsOpen() const override { return true; }

 private:
  std::deque<std::uint8_t> incoming_;
};

// Resident memory of this process in KiB (/proc/self/statm).
long ResidentKiB();

// One "Binary and Full" log entry of a received status, as the host puts it in the box.
std::string StatusLogEntry();

}  // namespace tarvik::bench
