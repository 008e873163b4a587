#include "engine/acceptance_data.h"

#include <algorithm>

namespace tarvik {

namespace {

constexpr std::uint32_t kPerMille = 1000;

std::size_t HeadOffset(std::size_t block, std::size_t row) {
  return kFirstBlockOffset + kBlockSize * block + kRowSize * row;
}
std::size_t CellOffset(std::size_t block, std::size_t row, std::size_t cell) {
  return HeadOffset(block, row) + kSlotSize * (1 + cell);
}

void WriteSlot(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < kSlotSize; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace

std::uint32_t AcceptanceRatio(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t sum = a + b;
  return (a * kPerMille + sum - 1U) / sum;
}

std::uint32_t ConvertSlot(std::uint32_t v) { return v * 256U + v / 256U; }

std::uint32_t ReadSlot(std::span<const std::uint8_t> image, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < kSlotSize; ++i) {
    value |= static_cast<std::uint32_t>(image[offset + i]) << (8 * i);
  }
  return value;
}

std::uint32_t AcceptanceChecksum(const AcceptanceImage& image) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksummedBytes; ++i) sum += image[i];
  return ~sum;
}

void ConvertAcceptanceImage(AcceptanceImage& image) {
  auto convert = [&image](std::size_t offset) {
    WriteSlot(image, offset, ConvertSlot(ReadSlot(image, offset)));
  };
  for (std::size_t offset = 0; offset < kUnconvertedOffset; offset += kSlotSize) convert(offset);
  convert(kChecksumOffset);
}

void RebuildAcceptanceStats(const AcceptanceImage& image, AcceptanceStats& stats) {
  stats.fill(0);
  const auto head = [&image](std::size_t b, std::size_t r) {
    return ReadSlot(image, HeadOffset(b, r));
  };
  const auto cell = [&image](std::size_t b, std::size_t r, std::size_t c) {
    return ReadSlot(image, CellOffset(b, r, c));
  };

  std::uint32_t headTotal = 0;
  std::uint32_t cellTotal = 0;
  for (std::size_t r = 0; r < kAcceptanceRows; ++r) {
    std::uint32_t rowHeads = 0;
    std::uint32_t rowCells = 0;
    for (std::size_t b = 0; b < kAcceptanceBlocks; ++b) {
      std::uint32_t rowTotal = 0;
      for (std::size_t c = 0; c < kAcceptanceCells; ++c) rowTotal += cell(b, r, c);
      const std::uint32_t h = head(b, r);
      rowHeads += h;
      rowCells += rowTotal;
      stats[stats::kRowTotals + kAcceptanceRows * b + r] = rowTotal;
      if (h + rowTotal != 0) {
        stats[stats::kRowRatios + kAcceptanceRows * b + r] = AcceptanceRatio(h, rowTotal);
      }
    }
    stats[stats::kRowHeads + r] = rowHeads;
    stats[stats::kRowCells + r] = rowCells;
    headTotal += rowHeads;
    cellTotal += rowCells;
  }
  stats[stats::kHeadTotal] = headTotal;
  stats[stats::kCellTotal] = cellTotal;

  // The head total wraps around like every sum, so a row may have heads while the total reads
  // 0; such a share stays 0 instead of dividing by zero.
  if (headTotal != 0) {
    for (std::size_t r = 0; r < kAcceptanceRows; ++r) {
      const std::uint32_t rowHeads = stats[stats::kRowHeads + r];
      if (rowHeads != 0) stats[stats::kRowShares + r] = rowHeads * kPerMille / headTotal;
    }
  }
  if (headTotal + cellTotal != 0) stats[stats::kTotalRatio] = AcceptanceRatio(headTotal, cellTotal);

  for (std::size_t c = 0; c < kAcceptanceCells; ++c) {
    std::uint32_t column = 0;
    for (std::size_t b = 0; b < kAcceptanceBlocks; ++b) {
      for (std::size_t r = 0; r < kAcceptanceRows; ++r) column += cell(b, r, c);
    }
    stats[stats::kColumns + c] = column;
  }

  for (std::size_t b = 0; b < kAcceptanceBlocks; ++b) {
    std::uint32_t blockHeads = 0;
    std::uint32_t blockCells = 0;
    for (std::size_t r = 0; r < kAcceptanceRows; ++r) {
      blockHeads += head(b, r);
      blockCells += stats[stats::kRowTotals + kAcceptanceRows * b + r];
    }
    stats[stats::kBlockHeads + b] = blockHeads;
    stats[stats::kBlockCells + b] = blockCells;
    if (blockHeads + blockCells != 0) {
      stats[stats::kBlockRatios + b] = AcceptanceRatio(blockHeads, blockCells);
    }
  }
}

void StoreBlock(std::span<std::uint8_t> buffer, std::size_t offset,
                std::span<const std::uint8_t> bytes) {
  if (offset >= buffer.size()) return;
  const std::size_t count = std::min(bytes.size(), buffer.size() - offset);
  std::copy_n(bytes.begin(), count, buffer.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::array<std::uint8_t, 4 * kAcceptanceStatsCount> StatsBytes(const AcceptanceStats& stats) {
  std::array<std::uint8_t, 4 * kAcceptanceStatsCount> bytes{};
  for (std::size_t i = 0; i < stats.size(); ++i) WriteSlot(bytes, kSlotSize * i, stats[i]);
  return bytes;
}

std::array<std::uint8_t, kAdRecordSize> BuildAdDataRecord(const AdDataImage& adData) {
  std::array<std::uint8_t, kAdRecordSize> record{};
  std::copy_n(adData.begin(), kAdRecordHead, record.begin());
  std::copy_n(adData.begin() + kAdRecordHead, kAdRecordTail,
              record.begin() + kAdRecordHead + kAdRecordGap);
  return record;
}

}  // namespace tarvik
