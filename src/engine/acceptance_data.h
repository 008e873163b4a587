// The acceptance data and the Ad data the validator sends: the layout of both images, the slot
// conversion, the checksum, the statistics and the two records written to disk. Pure byte work:
// no files, no log, no engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/engine.h"

namespace tarvik {

// Acceptance image layout (byte offsets). Four blocks of sixteen rows; a row is a head slot
// followed by sixteen cell slots, each slot 4 bytes.
inline constexpr std::size_t kAcceptanceBlocks = 4;
inline constexpr std::size_t kAcceptanceRows = 16;
inline constexpr std::size_t kAcceptanceCells = 16;
inline constexpr std::size_t kSlotSize = 4;
inline constexpr std::size_t kRowSize = kSlotSize * (1 + kAcceptanceCells);  // 68
inline constexpr std::size_t kBlockSize = kRowSize * kAcceptanceRows;        // 1,088
inline constexpr std::size_t kFirstBlockOffset = 4;
// The 40 bytes from here up to the checksum slot are never converted.
inline constexpr std::size_t kUnconvertedOffset = 4492;
inline constexpr std::size_t kChecksumOffset = 4532;
// The checksum covers bytes 0 to 4,533: the checksum slot's own first two bytes included.
inline constexpr std::size_t kChecksummedBytes = 4534;

// "LOG.dat": the converted image, then the statistics, little-endian.
inline constexpr std::size_t kAcceptanceFileSize = kAcceptanceDataSize + 4 * kAcceptanceStatsCount;

// The Ad data record: bytes 0..3,199, 512 zero bytes, then bytes 3,200..3,202.
inline constexpr std::size_t kAdRecordHead = 3200;
inline constexpr std::size_t kAdRecordGap = 512;
inline constexpr std::size_t kAdRecordTail = 3;
inline constexpr std::size_t kAdRecordSize = kAdRecordHead + kAdRecordGap + kAdRecordTail;  // 3,715

// Indexes into the statistics.
namespace stats {
inline constexpr std::size_t kTotalRatio = 0;
inline constexpr std::size_t kHeadTotal = 1;
inline constexpr std::size_t kCellTotal = 2;
inline constexpr std::size_t kRowHeads = 3;       // 16 values
inline constexpr std::size_t kRowCells = 19;      // 16
inline constexpr std::size_t kRowShares = 35;     // 16
inline constexpr std::size_t kColumns = 51;       // 16
inline constexpr std::size_t kRowTotals = 67;     // 64, at 16 * block + row
inline constexpr std::size_t kRowRatios = 131;    // 64, at 16 * block + row
inline constexpr std::size_t kBlockHeads = 195;   // 4
inline constexpr std::size_t kBlockCells = 199;   // 4
inline constexpr std::size_t kBlockRatios = 203;  // 4
}  // namespace stats

using AcceptanceImage = std::array<std::uint8_t, kAcceptanceDataSize>;
using AcceptanceStats = std::array<std::uint32_t, kAcceptanceStatsCount>;
using AdDataImage = std::array<std::uint8_t, kAdDataSize>;

// The per-mille share of `a` in a + b, rounded up: (a * 1000 + (a + b) - 1) / (a + b), all in
// unsigned 32-bit arithmetic. The caller makes sure a + b is not 0.
std::uint32_t AcceptanceRatio(std::uint32_t a, std::uint32_t b);

// (v * 256 + v / 256) mod 2^32: the validator keeps its counts high byte first.
std::uint32_t ConvertSlot(std::uint32_t v);

// The slot at `offset`, read little-endian.
std::uint32_t ReadSlot(std::span<const std::uint8_t> image, std::size_t offset);

// M: the complement of the 32-bit sum of bytes 0..4,533.
std::uint32_t AcceptanceChecksum(const AcceptanceImage& image);

// Converts every counted slot in place; the 40 bytes at 4,492..4,531 stay as they are.
void ConvertAcceptanceImage(AcceptanceImage& image);

// Rebuilds the 207 statistics from a converted image.
void RebuildAcceptanceStats(const AcceptanceImage& image, AcceptanceStats& stats);

// Stores `bytes` at `offset` of `buffer`, dropping what falls beyond its end; an offset past the
// end stores nothing.
void StoreBlock(std::span<std::uint8_t> buffer, std::size_t offset,
                std::span<const std::uint8_t> bytes);

// The 828 statistics bytes of "LOG.dat", each value little-endian.
std::array<std::uint8_t, 4 * kAcceptanceStatsCount> StatsBytes(const AcceptanceStats& stats);

std::array<std::uint8_t, kAdRecordSize> BuildAdDataRecord(const AdDataImage& adData);

}  // namespace tarvik
