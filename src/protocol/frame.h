// Frame layout and CRC-16 of the validator line.
//
// A frame is SYNC, LNG, CMD, 0..250 data bytes and the CRC-16 (low byte first). LNG counts the
// whole frame, SYNC and CRC included, so a frame is 5..255 bytes and any frame fits 256 bytes.
// The CRC is CRC-16/KERMIT: polynomial 0x1021 bit-reflected (0x8408), initial 0, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvik {

inline constexpr std::size_t kFrameBufferSize = 256;
inline constexpr int kMinFrameLength = 5;
inline constexpr int kMaxFrameLength = 255;
// The most data bytes a frame can carry (LNG counts SYNC, LNG, CMD and the CRC too).
inline constexpr std::size_t kMaxFrameData = kMaxFrameLength - kMinFrameLength;
inline constexpr std::uint8_t kSyncByte = 0xFC;  // every validator frame, host frames normally
inline constexpr std::uint8_t kBroadcastAddress = 0xF0;  // host frames during a global download

// The initial value of the file CRC; also printed by the program signature request.
inline constexpr std::uint16_t signatureSeed = 0x0000;

std::uint16_t CrcStep(std::uint16_t crc, std::uint8_t byte);
std::uint16_t CalcCrc(const std::uint8_t* bytes, std::size_t count);
inline std::uint16_t CalcCrc(std::span<const std::uint8_t> bytes) {
  return CalcCrc(bytes.data(), bytes.size());
}

// Writes the CRC of frame[0..n) into frame[n] (low byte) and frame[n + 1] (high byte).
void AppendCrc(std::uint8_t* frame, std::size_t n);

// What the last `CheckFrame` found. `expectedCrc` and `requiredLength` keep their earlier values
// while their flag is 0.
struct FrameCheckResult {
  std::int32_t crcErrorFlag = 0;
  std::uint32_t expectedCrc = 0;
  std::int32_t lengthErrorFlag = 0;
  std::int32_t requiredLength = 0;
};

// Checks the frame held in `frame` (SYNC first; the span is the whole buffer the frame lies in)
// against the length its response code requires. Returns 0 for a good frame, 1 otherwise, with the
// reason in `result`. A length error hides a CRC error. A required length below the minimum
// frame length, or one that does not fit the buffer, is reported as a length error against the
// minimum, so nothing outside the buffer is ever read.
int CheckFrame(std::span<const std::uint8_t> frame, int requiredLength, FrameCheckResult& result);

}  // namespace tarvik
