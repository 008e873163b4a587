// Cuts host frames out of the byte stream the validator receives.
//
// A host frame starts with the device address (0xFC, or 0xF0 for a broadcast), then LNG, CMD,
// data and the CRC-16. Everything that is not a good frame is reported and skipped: stray bytes
// before a sync byte, a length below the minimum, a wrong CRC, and a frame whose bytes stopped
// coming for longer than the inter-byte gap. After a bad frame the reader starts again at the
// byte after the rejected sync byte, so a good frame hidden behind garbage is still found.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace tarvik::validator {

using Millis = std::int64_t;  // milliseconds on a monotonic clock

struct ReaderEvent {
  enum class Kind { Frame, BadFrame, Stray };
  Kind kind = Kind::Frame;
  std::vector<std::uint8_t> bytes;  // the frame, the rejected bytes, or the stray run
  std::string reason;               // why bytes were rejected; empty for a frame
};

class HostFrameReader {
 public:
  // `gapMs`: a frame whose next byte has not come within this time is abandoned.
  explicit HostFrameReader(int gapMs = 100) : gapMs_(gapMs) {}

  // Takes received bytes; appends what they complete to `out`.
  void Push(std::span<const std::uint8_t> bytes, Millis now, std::vector<ReaderEvent>& out);
  // Abandons a frame that has gone quiet; call when time passes without bytes.
  void Expire(Millis now, std::vector<ReaderEvent>& out);
  void Reset();

  bool HasPartialFrame() const { return !frame_.empty(); }
  // When the partial frame will be abandoned (meaningful only with a partial frame).
  Millis ExpiryTime() const { return lastByteAt_ + gapMs_; }

 private:
  void Take(std::uint8_t byte, std::vector<ReaderEvent>& out);
  void Reject(std::string reason, std::vector<ReaderEvent>& out);
  void FlushStray(std::vector<ReaderEvent>& out);

  int gapMs_;
  Millis lastByteAt_ = 0;
  std::vector<std::uint8_t> frame_;  // the frame being collected, sync byte first; at most 255
  std::vector<std::uint8_t> stray_;  // bytes outside any frame, reported as one run
};

inline bool IsHostSync(std::uint8_t byte) { return byte == kSyncByte || byte == kBroadcastAddress; }

}  // namespace tarvik::validator
