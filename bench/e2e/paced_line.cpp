#include "e2e/paced_line.h"

#include <algorithm>

#include "protocol/frame.h"

namespace tarvik::bench {

namespace {

constexpr long long kBitsPerByte = 11;
constexpr long long kNanosPerSecond = 1'000'000'000;

}  // namespace

PacedLine::PacedLine(int baud) {
  if (baud > 0) {
    // Rounded up: over a long download the line is never made faster than it is.
    byteTime_ = std::chrono::nanoseconds((kBitsPerByte * kNanosPerSecond + baud - 1) / baud);
  }
}

// The same cut as the model's reader makes: SYNC (or the broadcast address), LNG, the rest.
bool PacedLine::EndsFrame(std::uint8_t byte) {
  if (frameTaken_ == 0) {
    if (byte != kSyncByte && byte != kBroadcastAddress) return true;
    frameTaken_ = 1;
    return false;
  }
  if (frameTaken_ == 1) {
    if (byte < kMinFrameLength) {
      frameTaken_ = 0;
      return true;
    }
    frameLength_ = byte;
    frameTaken_ = 2;
    return false;
  }
  if (++frameTaken_ < frameLength_) return false;
  frameTaken_ = 0;
  frameLength_ = 0;
  return true;
}

void PacedLine::Receive(std::span<const std::uint8_t> bytes, Clock::time_point seen) {
  for (const std::uint8_t byte : bytes) {
    inBusyUntil_ = std::max(seen, inBusyUntil_) + byteTime_;
    const bool ends = EndsFrame(byte);
    if (ends) ++framesQueued_;
    incoming_.push_back({byte, inBusyUntil_, ends});
  }
}

std::optional<PacedLine::Clock::time_point> PacedLine::NextArrival() const {
  if (incoming_.empty()) return std::nullopt;
  if (framesQueued_ == 0) return incoming_.back().at;
  for (const Byte& byte : incoming_) {
    if (byte.endsFrame) return byte.at;
  }
  return incoming_.back().at;
}

bool PacedLine::TakeArrived(Clock::time_point now, Arrived& out) {
  out.bytes.clear();
  out.at.clear();
  const std::optional<Clock::time_point> due = NextArrival();
  if (!due || *due > now) return false;
  while (!incoming_.empty()) {
    const Byte byte = incoming_.front();
    incoming_.pop_front();
    out.bytes.push_back(byte.value);
    out.at.push_back(byte.at);
    if (byte.endsFrame) {
      --framesQueued_;
      break;
    }
  }
  return true;
}

void PacedLine::Send(std::span<const std::uint8_t> bytes, Clock::time_point from) {
  for (const std::uint8_t byte : bytes) {
    outBusyUntil_ = std::max(from, outBusyUntil_) + byteTime_;
    outgoing_.push_back({byte, outBusyUntil_, false});
  }
}

std::optional<PacedLine::Clock::time_point> PacedLine::NextWrite() const {
  if (outgoing_.empty()) return std::nullopt;
  return outgoing_.front().at;
}

std::vector<std::uint8_t> PacedLine::TakeDue(Clock::time_point now) {
  std::vector<std::uint8_t> due;
  while (!outgoing_.empty() && outgoing_.front().at <= now) {
    due.push_back(outgoing_.front().value);
    outgoing_.pop_front();
  }
  return due;
}

}  // namespace tarvik::bench
