#include "validator/host_frame_reader.h"

#include <cstdio>

namespace tarvik::validator {

namespace {
// A stray run is reported once it reaches this many bytes, so line noise cannot grow the buffer.
constexpr std::size_t kMaxStrayRun = 64;
}  // namespace

void HostFrameReader::Push(std::span<const std::uint8_t> bytes, Millis now,
                           std::vector<ReaderEvent>& out) {
  if (bytes.empty()) return;
  Expire(now, out);
  lastByteAt_ = now;
  for (std::uint8_t byte : bytes) Take(byte, out);
  FlushStray(out);
}

// A quiet partial frame is rejected like a bad one, and its bytes are searched again: a noise
// byte that looked like a sync byte may have swallowed a real frame with its "length".
void HostFrameReader::Expire(Millis now, std::vector<ReaderEvent>& out) {
  while (!frame_.empty() && now - lastByteAt_ > gapMs_) {
    Reject("incomplete: the line went quiet", out);
  }
  FlushStray(out);
}

void HostFrameReader::Reset() {
  frame_.clear();
  stray_.clear();
}

void HostFrameReader::Take(std::uint8_t byte, std::vector<ReaderEvent>& out) {
  if (frame_.empty()) {
    if (!IsHostSync(byte)) {
      stray_.push_back(byte);
      if (stray_.size() >= kMaxStrayRun) FlushStray(out);
      return;
    }
    FlushStray(out);
    frame_.push_back(byte);
    return;
  }
  frame_.push_back(byte);
  const int lng = frame_[1];
  if (frame_.size() == 2) {
    if (lng < kMinFrameLength) {
      char reason[48];
      std::snprintf(reason, sizeof reason, "length %d below the minimum of %d", lng,
                    kMinFrameLength);
      Reject(reason, out);
    }
    return;
  }
  if (frame_.size() < static_cast<std::size_t>(lng)) return;
  FrameCheckResult check;
  if (CheckFrame(frame_, lng, check) == 0) {
    out.push_back({ReaderEvent::Kind::Frame, frame_, {}});
    frame_.clear();
    return;
  }
  char reason[48];
  std::snprintf(reason, sizeof reason, "CRC error, expected %02X %02X",
                static_cast<unsigned>(check.expectedCrc & 0xFF),
                static_cast<unsigned>(check.expectedCrc >> 8));
  Reject(reason, out);
}

// Reports the collected bytes as a bad frame and searches them again from the second byte on:
// the rejected "sync" byte may have been noise in front of a real frame.
void HostFrameReader::Reject(std::string reason, std::vector<ReaderEvent>& out) {
  std::vector<std::uint8_t> rest(frame_.begin() + 1, frame_.end());
  out.push_back({ReaderEvent::Kind::BadFrame, std::move(frame_), std::move(reason)});
  frame_.clear();
  for (std::uint8_t byte : rest) Take(byte, out);
}

void HostFrameReader::FlushStray(std::vector<ReaderEvent>& out) {
  if (stray_.empty()) return;
  out.push_back({ReaderEvent::Kind::Stray, std::move(stray_), "bytes outside a frame"});
  stray_.clear();
}

}  // namespace tarvik::validator
