// Line faults on command: each spoils the next answer exactly as named, once.
#include <gtest/gtest.h>

#include <vector>

#include "validator/virtual_validator.h"
#include "validator_test_support.h"

namespace tarvik::validator {
namespace {

using testing::HostFrame;
using testing::ToHex;

constexpr const char* kIdling = "FC 05 11 27 56";

struct FaultCase {
  const char* name;
  const char* command;
  const char* spoiled;  // the bytes of the spoiled IDLING answer
  int delayMs;          // when they come, after the status request
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

std::string LengthFaultFrame() {
  std::vector<std::uint8_t> frame = {0xFC, 0x06, 0x11, 0x00, 0, 0};
  AppendCrc(frame.data(), 4);
  return ToHex(frame);
}

TEST_P(FaultTest, SpoilsTheNextAnswerOnly) {
  const FaultCase& c = GetParam();
  VirtualValidator validator;
  Millis now = 0;
  validator.Feed(HostFrame(0x40), now);
  validator.Feed(HostFrame(0x11), now);
  now += 1000;
  ASSERT_EQ(ToHex(validator.Feed(HostFrame(0x11), now)), kIdling);

  ASSERT_TRUE(validator.Command(c.command, now).ok);
  const std::string spoiled = std::string(c.spoiled) == "LENGTH" ? LengthFaultFrame() : c.spoiled;
  const auto first = validator.Feed(HostFrame(0x11), now);
  if (c.delayMs == 0) {
    EXPECT_EQ(ToHex(first), spoiled);
  } else {
    EXPECT_TRUE(first.empty());
    ASSERT_TRUE(validator.NextDue().has_value());
    EXPECT_EQ(*validator.NextDue(), now + c.delayMs);
    EXPECT_TRUE(validator.Poll(now + c.delayMs - 1).empty());
    EXPECT_EQ(ToHex(validator.Poll(now + c.delayMs)), spoiled);
    now += c.delayMs;
  }
  EXPECT_EQ(ToHex(validator.Feed(HostFrame(0x11), now)), kIdling);
}

const FaultCase kFaults[] = {
    {"Crc", "fault crc", "FC 05 11 D8 56", 0},
    {"Length", "fault length", "LENGTH", 0},
    {"Cut", "fault cut", "FC 05", 0},
    {"Drop", "fault drop", "", 0},
    {"Stray", "fault stray 4", "00 55 AA 00 FC 05 11 27 56", 0},
    {"Delay", "fault delay 250", kIdling, 250},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& p) { return std::string(p.param.name); });

// Faults armed together spoil the same answer; a delayed answer holds back the ones after it.
TEST(FaultTest, CombinedFaultsAndOrderBehindADelay) {
  VirtualValidator validator;
  ASSERT_TRUE(validator.Command("fault crc", 0).ok);
  ASSERT_TRUE(validator.Command("fault delay 100", 0).ok);
  EXPECT_TRUE(validator.Feed(HostFrame(0x11), 0).empty());
  EXPECT_TRUE(validator.Feed(HostFrame(0x88), 50).empty()) << "the version waits its turn";
  const auto out = validator.Poll(100);
  ASSERT_GE(out.size(), 10u);
  EXPECT_EQ(ToHex(std::span(out).first(5)), "FC 05 40 D4 15");
  EXPECT_EQ(out[7], 0x88);
}

// Powering off loses what was waiting to be sent.
TEST(FaultTest, PowerCycleDropsPendingAnswers) {
  VirtualValidator validator;
  ASSERT_TRUE(validator.Command("fault delay 500", 0).ok);
  EXPECT_TRUE(validator.Feed(HostFrame(0x11), 0).empty());
  ASSERT_TRUE(validator.Command("powercycle", 10).ok);
  EXPECT_TRUE(validator.Poll(1000).empty());
}

}  // namespace
}  // namespace tarvik::validator
