#include "e2e/download_watch.h"

#include "protocol/frame.h"
#include "protocol/line_codes.h"

namespace tarvik::bench {

namespace {

constexpr std::size_t kPacketAddressBytes = 4;

}  // namespace

void DownloadWatch::HostFrame(std::span<const std::uint8_t> frame, Clock::time_point lineStart,
                              Clock::time_point arrived) {
  if (frame.size() < kMinFrameLength) return;
  const std::uint8_t code = frame[2];
  if (!timing_.started) {
    if (code != cmd::kDownloadStart) return;
    timing_.started = true;
    timing_.start = lineStart;
  } else if (!Counting()) {
    return;
  }
  timing_.hostBytes += frame.size();
  if (code == cmd::kDownloadData && frame.size() >= kMinFrameLength + kPacketAddressBytes) {
    ++timing_.packets;
    timing_.packetBytes += frame.size() - kMinFrameLength - kPacketAddressBytes;
  }
  if (code == cmd::kAck && timing_.checkStatus) {
    timing_.finished = true;
    timing_.end = arrived;
  }
}

void DownloadWatch::ValidatorBytes(std::span<const std::uint8_t> bytes) {
  if (!Counting()) return;
  timing_.validatorBytes += bytes.size();
  // The model hands over whole frames, so each begins with SYNC and says its length.
  for (std::size_t at = 0; at + kMinFrameLength <= bytes.size();) {
    const std::size_t length = bytes[at + 1];
    if (bytes[at] != kSyncByte || length < kMinFrameLength) break;
    if (bytes[at + 2] == rsp::kProgramCheck && length >= kMinFrameLength + 3 &&
        at + length <= bytes.size()) {
      timing_.checkStatus = bytes[at + 3];
      timing_.checkCrc = static_cast<std::uint16_t>(bytes[at + 4] << 8 | bytes[at + 5]);
    }
    at += length;
  }
}

}  // namespace tarvik::bench
