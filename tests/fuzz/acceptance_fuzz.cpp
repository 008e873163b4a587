// Any acceptance image and any block through the checksum, the slot conversion and the
// statistics, and any Ad data through the record: sums wrap and ratios divide, so nothing may
// divide by zero or reach outside a buffer, whatever the counts.
//
// Input: two bytes of block offset (least significant first), then the bytes, which are both
// the block and, repeated to fill them, the acceptance image and the Ad data.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/acceptance_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvik;
  if (size < 3) return 0;
  const std::size_t offset = data[0] + 256U * data[1];
  const std::span<const std::uint8_t> bytes(data + 2, size - 2);

  AcceptanceImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = bytes[i % bytes.size()];
  StoreBlock(image, offset, bytes);
  const std::uint32_t m = AcceptanceChecksum(image);
  ConvertAcceptanceImage(image);
  AcceptanceStats stats{};
  RebuildAcceptanceStats(image, stats);
  const auto statsBytes = StatsBytes(stats);

  AdDataImage ad{};
  for (std::size_t i = 0; i < ad.size(); ++i) ad[i] = bytes[(i * 7) % bytes.size()];
  StoreBlock(ad, offset, bytes);
  const auto record = BuildAdDataRecord(ad);
  // Keeps the results alive, so nothing above is optimised away.
  static volatile std::uint32_t sink = 0;
  sink = m ^ ReadSlot(image, kChecksumOffset) ^ statsBytes[0] ^ record[0];
  return 0;
}
