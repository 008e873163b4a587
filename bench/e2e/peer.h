// The validator's end of the line for the end-to-end figures: the virtual validator's model on
// a pseudo-terminal, served by a thread of its own that takes the time of every frame where it
// crosses the line (after the last byte is written, as soon as a host frame is read whole).
// With a line speed it paces both directions as a serial line of that speed would (PacedLine),
// and the times are those at which the bytes would have crossed it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/download_watch.h"
#include "e2e/paced_line.h"
#include "validator/validator_port.h"
#include "validator/virtual_validator.h"

namespace tarvik::bench {

using SteadyClock = std::chrono::steady_clock;

class Peer {
 public:
  struct Options {
    validator::ValidatorTimings timings;
    bool answer = true;   // false: host frames are only recorded, nothing is answered
    int paceBaud = 9600;  // the line speed of InjectEscrow's byte-by-byte writes
    int cpu = -1;         // the serving thread pinned to this processor when >= 0
    int lineBaud = 0;     // both directions paced at this speed (0: as the pty carries them)
    std::vector<std::string> commands;  // operator commands the model runs before serving
  };

  Peer() = default;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() { Stop(); }

  bool Start(const Options& options, std::string& error);
  void Stop();
  const std::string& Path() const { return port_.Path(); }

  // Unsolicited ESCROW frames as fast as the line takes them, while on.
  void SetFlood(bool on) { flood_.store(on); }
  // Writes one unsolicited ESCROW frame now, whole or one byte at a time at the line's speed;
  // the host's STACK-1 that follows is one turnaround sample. For a peer that does not answer.
  void InjectEscrow(bool byteByByte);
  // Escrow → STACK-1 turnarounds since the last call, in microseconds: from the end of the
  // ESCROW frame's last byte to the moment the host's STACK-1 was read whole.
  std::vector<double> TakeTurnarounds();
  // Waits until a host frame with `code` has been read after `since`; its time in `at`.
  bool WaitForHostFrame(std::uint8_t code, SteadyClock::time_point since,
                        SteadyClock::time_point deadline, SteadyClock::time_point& at);
  // Waits until a normal download has ended with the host's Ack of the check result; what was
  // seen of it so far in `timing` either way. False when the deadline came first.
  bool WaitForDownload(SteadyClock::time_point deadline, DownloadTiming& timing);

 private:
  void Run();
  void TakeHostBytes(const PacedLine::Arrived& arrived);
  // Queues an answer for the line, its first byte starting no sooner than `from`.
  void SendAnswer(const std::vector<std::uint8_t>& bytes, SteadyClock::time_point from);
  validator::Millis Now() const;
  validator::Millis MillisAt(SteadyClock::time_point at) const;

  Options options_;
  validator::ValidatorPort port_;
  validator::VirtualValidator model_;
  SteadyClock::time_point epoch_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> flood_{false};
  std::thread thread_;
  // The peer thread's own: the line, the host frame being collected and when it began.
  PacedLine line_;
  std::vector<std::uint8_t> partial_;
  SteadyClock::time_point partialStart_{};
  validator::Millis modelTime_ = 0;  // the latest time given to the model

  std::mutex mutex_;  // guards everything below
  std::condition_variable frameSeen_;
  std::vector<std::pair<std::uint8_t, SteadyClock::time_point>> recent_;  // host frames
  bool escrowOut_ = false;
  SteadyClock::time_point escrowSentAt_{};
  std::vector<double> turnarounds_;
  DownloadWatch download_;
};

}  // namespace tarvik::bench
