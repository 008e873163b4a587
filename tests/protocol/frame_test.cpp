#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

namespace tarvik {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

TEST(CrcTest, CheckValueAndEmptyInput) {
  constexpr std::string_view kCheck = "123456789";
  EXPECT_EQ(CalcCrc(reinterpret_cast<const std::uint8_t*>(kCheck.data()), kCheck.size()), 0x2189);
  EXPECT_EQ(CalcCrc(nullptr, 0), 0x0000);
}

TEST(CrcTest, NibbleStepMatchesBitwiseReflectedPolynomial) {
  for (int crc = 0; crc < 0x10000; crc += 0x1F3) {
    for (int byte = 0; byte < 256; ++byte) {
      std::uint16_t reference = static_cast<std::uint16_t>(crc ^ byte);
      for (int bit = 0; bit < 8; ++bit) {
        reference = static_cast<std::uint16_t>((reference & 1) ? (reference >> 1) ^ 0x8408
                                                               : reference >> 1);
      }
      ASSERT_EQ(CrcStep(static_cast<std::uint16_t>(crc), static_cast<std::uint8_t>(byte)),
                reference)
          << "crc " << crc << " byte " << byte;
    }
  }
}

struct FrameCase {
  const char* name;
  std::vector<std::uint8_t> head;  // SYNC, LNG, CMD, data
  std::uint8_t crcLow;
  std::uint8_t crcHigh;
};

class CompleteFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CompleteFrameTest, AppendCrcGivesTheKnownFrame) {
  const FrameCase& c = GetParam();
  std::array<std::uint8_t, kFrameBufferSize> frame{};
  std::copy(c.head.begin(), c.head.end(), frame.begin());
  AppendCrc(frame.data(), c.head.size());
  EXPECT_EQ(frame[c.head.size()], c.crcLow);
  EXPECT_EQ(frame[c.head.size() + 1], c.crcHigh);
}

INSTANTIATE_TEST_SUITE_P(
    KnownFrames, CompleteFrameTest,
    ::testing::Values(FrameCase{"StatusRequest", Bytes({0xFC, 0x05, 0x11}), 0x27, 0x56},
                      FrameCase{"StatusRequestBroadcast", Bytes({0xF0, 0x05, 0x11}), 0x84, 0xF3},
                      FrameCase{"Reset", Bytes({0xFC, 0x05, 0x40}), 0x2B, 0x15},
                      FrameCase{"Ack", Bytes({0xFC, 0x05, 0x50}), 0xAA, 0x05}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CheckFrameTest, GoodFramePasses) {
  std::array<std::uint8_t, kFrameBufferSize> frame{0xFC, 0x05, 0x11, 0x27, 0x56};
  FrameCheckResult result;
  result.crcErrorFlag = 1;  // cleared by the check
  EXPECT_EQ(CheckFrame(frame, 5, result), 0);
  EXPECT_EQ(result.crcErrorFlag, 0);
  EXPECT_EQ(result.lengthErrorFlag, 0);
}

TEST(CheckFrameTest, WrongCrcReportsTheExpectedCrc) {
  std::array<std::uint8_t, kFrameBufferSize> frame{0xFC, 0x05, 0x11, 0x27, 0x57};
  FrameCheckResult result;
  EXPECT_EQ(CheckFrame(frame, 5, result), 1);
  EXPECT_EQ(result.crcErrorFlag, 1);
  EXPECT_EQ(result.expectedCrc, 0x5627u);
  EXPECT_EQ(result.lengthErrorFlag, 0);
}

TEST(CheckFrameTest, WrongLengthHidesTheCrcAndKeepsTheOldExpectedCrc) {
  std::array<std::uint8_t, kFrameBufferSize> frame{0xFC, 0x06, 0x11, 0x00, 0x00, 0x00};
  FrameCheckResult result;
  result.expectedCrc = 0x1234;
  EXPECT_EQ(CheckFrame(frame, 5, result), 1);
  EXPECT_EQ(result.lengthErrorFlag, 1);
  EXPECT_EQ(result.requiredLength, 5);
  EXPECT_EQ(result.crcErrorFlag, 0);
  EXPECT_EQ(result.expectedCrc, 0x1234u);
}

TEST(CheckFrameTest, OwnLengthBelowTheMinimumIsALengthErrorWithoutReadingOutside) {
  for (int lng = 0; lng < kMinFrameLength; ++lng) {
    std::vector<std::uint8_t> frame{0xFC, static_cast<std::uint8_t>(lng)};
    FrameCheckResult result;
    EXPECT_EQ(CheckFrame(frame, lng, result), 1) << lng;
    EXPECT_EQ(result.lengthErrorFlag, 1);
    EXPECT_EQ(result.requiredLength, kMinFrameLength);
  }
}

TEST(CheckFrameTest, LengthBeyondTheBufferIsRefused) {
  std::vector<std::uint8_t> frame{0xFC, 0x20, 0x88, 0x00};  // claims 32 bytes, holds 4
  FrameCheckResult result;
  EXPECT_EQ(CheckFrame(frame, 0x20, result), 1);
  EXPECT_EQ(result.lengthErrorFlag, 1);
}

TEST(CheckFrameTest, LongestFrameChecksTheLastTwoBytes) {
  std::array<std::uint8_t, kFrameBufferSize> frame{};
  frame[0] = 0xFC;
  frame[1] = 255;
  frame[2] = 0x88;
  for (int i = 3; i < 253; ++i) frame[i] = static_cast<std::uint8_t>(i);
  AppendCrc(frame.data(), 253);
  FrameCheckResult result;
  EXPECT_EQ(CheckFrame(frame, 255, result), 0);
  frame[254] ^= 0x01;
  EXPECT_EQ(CheckFrame(frame, 255, result), 1);
  EXPECT_EQ(result.crcErrorFlag, 1);
}

}  // namespace
}  // namespace tarvik
