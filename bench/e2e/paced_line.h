// The serial line between the host and the validator's model, at a given speed, over a
// pseudo-terminal that has none: a pty hands the host's bytes over the moment they are written
// and the host takes the model's answers the moment they are. This keeps one "busy until"
// clock per direction. A byte seen at t has crossed the line at max(t, busy until) + one byte
// time (11 bits: start, 8 data, parity, stop); the next byte queues behind it.
//
// Host bytes are handed on (`TakeArrived`) only once their last byte has crossed, cut at frame
// ends, so the model acts on a frame when a real validator could. The model's answers go to the
// host a byte at a time (`TakeDue`), each when its stop bit has passed, so the host never sees a
// byte sooner than a real line would deliver it.
//
// Pure logic: the caller reads, writes and passes the time in. Speed 0 is no pacing at all:
// bytes arrive when seen and answers leave when given.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace tarvik::bench {

class PacedLine {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PacedLine(int baud = 0);

  // One byte's time on the line, rounded up to the nanosecond (zero when unpaced).
  Clock::duration ByteTime() const { return byteTime_; }

  // Host → validator: `bytes` read off the line at `seen`.
  void Receive(std::span<const std::uint8_t> bytes, Clock::time_point seen);
  // When the next received bytes are due to be handed on: the arrival of the first frame end
  // queued, or of the last byte queued when no frame has ended among them.
  std::optional<Clock::time_point> NextArrival() const;

  struct Arrived {
    std::vector<std::uint8_t> bytes;
    std::vector<Clock::time_point> at;  // when each byte had crossed the line
  };
  // The next frame (a host frame, a byte that starts none, a frame with an impossible length)
  // once its last byte has crossed by `now`; with no frame end queued, all the bytes queued once
  // the last has crossed. False when nothing is due yet.
  bool TakeArrived(Clock::time_point now, Arrived& out);

  // Validator → host: `bytes` to send, the first starting no sooner than `from`.
  void Send(std::span<const std::uint8_t> bytes, Clock::time_point from);
  // When the next byte to send has crossed the line.
  std::optional<Clock::time_point> NextWrite() const;
  // The bytes to send that have crossed the line by `now`, in order.
  std::vector<std::uint8_t> TakeDue(Clock::time_point now);

 private:
  struct Byte {
    std::uint8_t value;
    Clock::time_point at;
    bool endsFrame;
  };
  bool EndsFrame(std::uint8_t byte);

  Clock::duration byteTime_{};
  Clock::time_point inBusyUntil_{};
  Clock::time_point outBusyUntil_{};
  std::deque<Byte> incoming_;
  std::deque<Byte> outgoing_;
  std::size_t framesQueued_ = 0;  // incoming bytes that end a frame
  // The host frame being split: its length byte (0 until read) and the bytes taken so far.
  std::size_t frameLength_ = 0;
  std::size_t frameTaken_ = 0;
};

}  // namespace tarvik::bench
