// Follows a normal download as the validator's end of the line sees it, for the download
// figure: from the first byte of the host's Download Start on the line to the last byte of the
// host's Ack of the check result, with every frame byte of both directions in between and the
// data packets among them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace tarvik::bench {

struct DownloadTiming {
  using Clock = std::chrono::steady_clock;

  bool started = false;
  bool finished = false;
  Clock::time_point start{};         // the Download Start's first byte begins to cross the line
  Clock::time_point end{};           // the Ack of the check result has crossed it whole
  std::uint64_t hostBytes = 0;       // host frame bytes, Download Start to that Ack
  std::uint64_t validatorBytes = 0;  // answer bytes in between
  std::uint32_t packets = 0;         // Download Data frames
  std::uint64_t packetBytes = 0;     // program bytes they carried
  std::optional<std::uint8_t> checkStatus;  // the check result's verdict (00: verified)
  std::uint16_t checkCrc = 0;               // the CRC the validator found

  double Seconds() const { return std::chrono::duration<double>(end - start).count(); }
};

class DownloadWatch {
 public:
  using Clock = DownloadTiming::Clock;

  // A whole host frame: when its first byte began to cross the line, when its last had crossed.
  void HostFrame(std::span<const std::uint8_t> frame, Clock::time_point lineStart,
                 Clock::time_point arrived);
  // Answer bytes the validator sends: whole frames, one or more.
  void ValidatorBytes(std::span<const std::uint8_t> bytes);

  const DownloadTiming& Timing() const { return timing_; }

 private:
  bool Counting() const { return timing_.started && !timing_.finished; }

  DownloadTiming timing_;
};

}  // namespace tarvik::bench
