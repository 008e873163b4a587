#include "protocol/frame.h"

namespace tarvik {

namespace {
// Entry k of the nibble table is k * 0x1081; the product is computed instead of stored.
constexpr std::uint16_t kNibbleMultiplier = 0x1081;
}  // namespace

std::uint16_t CrcStep(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>((crc >> 4) ^ (((crc ^ byte) & 0x0Fu) * kNibbleMultiplier));
  crc = static_cast<std::uint16_t>((crc >> 4) ^
                                   (((crc ^ (byte >> 4)) & 0x0Fu) * kNibbleMultiplier));
  return crc;
}

std::uint16_t CalcCrc(const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) crc = CrcStep(crc, bytes[i]);
  return crc;
}

void AppendCrc(std::uint8_t* frame, std::size_t n) {
  const std::uint16_t crc = CalcCrc(frame, n);
  frame[n] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[n + 1] = static_cast<std::uint8_t>(crc >> 8);
}

int CheckFrame(std::span<const std::uint8_t> frame, int requiredLength, FrameCheckResult& result) {
  result.crcErrorFlag = 0;
  result.lengthErrorFlag = 0;
  if (frame.size() < 2) {
    result.lengthErrorFlag = 1;
    result.requiredLength = kMinFrameLength;
    return 1;
  }
  const int lng = frame[1];
  if (requiredLength != lng) {
    result.lengthErrorFlag = 1;
    result.requiredLength = requiredLength;
    return 1;
  }
  if (requiredLength < kMinFrameLength || static_cast<std::size_t>(requiredLength) > frame.size()) {
    result.lengthErrorFlag = 1;
    result.requiredLength = kMinFrameLength;
    return 1;
  }
  const auto n = static_cast<std::size_t>(requiredLength - 2);
  const std::uint16_t stored = static_cast<std::uint16_t>(frame[n] | (frame[n + 1] << 8));
  const std::uint16_t computed = CalcCrc(frame.data(), n);
  if (stored != computed) {
    result.crcErrorFlag = 1;
    result.expectedCrc = computed;
    return 1;
  }
  return 0;
}

}  // namespace tarvik
