// The acceptance image's conversion, checksum and statistics, and the Ad data record: the pure
// byte work behind "LOG.dat" and the Ad data file.
#include "engine/acceptance_data.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

// Places a converted value where the statistics read it.
void PutSlot(AcceptanceImage& image, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    image[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::size_t Head(std::size_t b, std::size_t r) { return 4 + 1088 * b + 68 * r; }
std::size_t Cell(std::size_t b, std::size_t r, std::size_t c) {
  return 8 + 1088 * b + 68 * r + 4 * c;
}

TEST(AcceptanceDataTest, RatioIsThePerMilleShareRoundedUp) {
  struct Case {
    std::uint32_t a, b, ratio;
  };
  for (const Case& c : {Case{1, 0, 1000}, Case{1, 2, 334}, Case{2, 1, 667}, Case{0, 5, 0},
                        Case{3, 6, 334}, Case{500, 500, 500}}) {
    EXPECT_EQ(AcceptanceRatio(c.a, c.b), c.ratio) << c.a << ", " << c.b;
  }
}

TEST(AcceptanceDataTest, ConversionTurnsEveryCountedSlotAndLeavesTheFortyBytes) {
  AcceptanceImage image{};
  const std::uint8_t before[] = {0x34, 0x12, 0x00, 0x00};
  for (const std::size_t offset : {std::size_t{0}, Head(3, 15), Cell(2, 7, 9), std::size_t{4356},
                                   std::size_t{4488}, std::size_t{4532}}) {
    std::copy(std::begin(before), std::end(before), image.begin() + static_cast<long>(offset));
  }
  for (std::size_t i = 4492; i < 4532; ++i) image[i] = static_cast<std::uint8_t>(i);
  const AcceptanceImage original = image;

  ConvertAcceptanceImage(image);
  for (std::size_t offset = 0; offset < 4536; offset += 4) {
    SCOPED_TRACE(offset);
    if (offset >= 4492 && offset < 4532) {
      for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(image[offset + i], original[offset + i]);
    } else if (original[offset] == 0x34) {
      EXPECT_EQ(image[offset], 0x12);
      EXPECT_EQ(image[offset + 1], 0x34);
      EXPECT_EQ(image[offset + 2], 0x12);
      EXPECT_EQ(image[offset + 3], 0x00);
    } else {
      EXPECT_EQ(ReadSlot(image, offset), 0U);
    }
  }
  // The whole 32-bit rule, wrapping: v * 256 + v / 256.
  EXPECT_EQ(ConvertSlot(0x12345678U), 0x34567800U + 0x00123456U);
}

TEST(AcceptanceDataTest, ChecksumIsTheComplementOfTheByteSumUpTo4533) {
  AcceptanceImage image{};
  EXPECT_EQ(AcceptanceChecksum(image), 0xFFFFFFFFU);
  image[0] = 0x10;
  image[4533] = 0x01;
  image[4534] = 0xFF;  // beyond the sum
  image[4535] = 0xFF;
  EXPECT_EQ(AcceptanceChecksum(image), ~std::uint32_t{0x11});
}

// A small image whose statistics are worked out by hand, every one of the 207.
TEST(AcceptanceDataTest, StatisticsOfASmallImage) {
  AcceptanceImage image{};
  PutSlot(image, Head(0, 0), 1);  // a head and no cells: ratio 1,000
  PutSlot(image, Head(1, 2), 2);  // two heads, one cell: 667
  PutSlot(image, Cell(1, 2, 3), 1);
  PutSlot(image, Cell(3, 15, 15), 5);  // cells without a head: 0
  AcceptanceStats stats;
  stats.fill(0xDEADBEEF);  // every value is rebuilt
  RebuildAcceptanceStats(image, stats);

  AcceptanceStats expected{};
  expected[0] = 334;  // R(3, 6)
  expected[1] = 3;
  expected[2] = 6;
  expected[3 + 0] = 1;
  expected[3 + 2] = 2;
  expected[19 + 2] = 1;
  expected[19 + 15] = 5;
  expected[35 + 0] = 333;  // 1 * 1000 / 3
  expected[35 + 2] = 666;
  expected[51 + 3] = 1;
  expected[51 + 15] = 5;
  expected[67 + 16 * 1 + 2] = 1;
  expected[67 + 16 * 3 + 15] = 5;
  expected[131 + 16 * 0 + 0] = 1000;
  expected[131 + 16 * 1 + 2] = 667;
  expected[195 + 0] = 1;
  expected[195 + 1] = 2;
  expected[199 + 1] = 1;
  expected[199 + 3] = 5;
  expected[203 + 0] = 1000;
  expected[203 + 1] = 667;
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(stats[i], expected[i]) << i;
}

// Sums wrap around; a head total that wraps to 0 while rows have heads leaves their shares 0
// rather than dividing by it.
TEST(AcceptanceDataTest, HeadTotalWrappingToZeroLeavesTheSharesZero) {
  AcceptanceImage image{};
  PutSlot(image, Head(0, 0), 0x80000000U);
  PutSlot(image, Head(2, 1), 0x80000000U);
  AcceptanceStats stats{};
  RebuildAcceptanceStats(image, stats);
  EXPECT_EQ(stats[stats::kHeadTotal], 0U);
  EXPECT_EQ(stats[stats::kRowHeads + 0], 0x80000000U);
  for (std::size_t r = 0; r < 16; ++r) EXPECT_EQ(stats[stats::kRowShares + r], 0U) << r;
  EXPECT_EQ(stats[stats::kTotalRatio], 0U);
}

TEST(AcceptanceDataTest, StoreBlockDropsWhatFallsBeyondTheBuffer) {
  struct Case {
    std::size_t offset;
    std::size_t count;
    std::size_t stored;
  };
  for (const Case& c : {Case{0, 10, 10}, Case{4530, 10, 6}, Case{4536, 3, 0}, Case{4537, 3, 0},
                        Case{65535, 3, 0}, Case{100, 0, 0}}) {
    SCOPED_TRACE(c.offset);
    AcceptanceImage buffer;
    buffer.fill(0xAA);
    const std::vector<std::uint8_t> bytes(c.count, 0x55);
    StoreBlock(buffer, c.offset, bytes);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      if (buffer[i] == 0x55) {
        EXPECT_GE(i, c.offset);
        ++changed;
      }
    }
    EXPECT_EQ(changed, c.stored);
  }
}

TEST(AcceptanceDataTest, AdRecordLayout) {
  AdDataImage ad;
  for (std::size_t i = 0; i < ad.size(); ++i) ad[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const auto record = BuildAdDataRecord(ad);
  ASSERT_EQ(record.size(), 3715U);
  for (std::size_t i = 0; i < 3200; ++i) ASSERT_EQ(record[i], ad[i]) << i;
  for (std::size_t i = 3200; i < 3712; ++i) ASSERT_EQ(record[i], 0) << i;
  EXPECT_EQ(record[3712], ad[3200]);
  EXPECT_EQ(record[3713], ad[3201]);
  EXPECT_EQ(record[3714], ad[3202]);
}

TEST(AcceptanceDataTest, StatisticsBytesAreLittleEndian) {
  AcceptanceStats stats{};
  stats[0] = 0x11223344U;
  stats[206] = 0xA1B2C3D4U;
  const auto bytes = StatsBytes(stats);
  ASSERT_EQ(bytes.size(), 828U);
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4)),
            (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.end() - 4, bytes.end())),
            (std::vector<std::uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
}

}  // namespace
}  // namespace tarvik
