#include "engine/operator_dispatch.h"

#include <gtest/gtest.h>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

constexpr int kNothingQueued = -1;

struct DispatchCase {
  const char* name;
  std::int32_t opeMode;  // 0 Normal, anything else Test
  std::int32_t character;
  std::uint8_t stepBefore;  // a multi-step exchange in progress when the character comes
  std::int32_t reapplyBefore;
  std::int32_t result;  // 0 queued, 1 rejected
  int queued;           // the queued code, or kNothingQueued
  std::uint8_t stepAfter;
  std::int32_t reapplyAfter;
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class OperatorDispatchTest : public ::testing::TestWithParam<DispatchCase> {
 protected:
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_P(OperatorDispatchTest, TranslatesByTheOperatingMode) {
  const DispatchCase& c = GetParam();
  engine.state.ope_mode_index = c.opeMode;
  engine.state.transactionStep = c.stepBefore;
  engine.state.reapplySettings = c.reapplyBefore;

  EXPECT_EQ(DispatchOperatorCommand(engine, c.character), c.result);

  std::uint8_t code = 0;
  const bool queued = PeekQueuedCommand(engine, code);
  if (c.queued == kNothingQueued) {
    EXPECT_FALSE(queued);
  } else {
    ASSERT_TRUE(queued);
    EXPECT_EQ(code, c.queued);
  }
  EXPECT_EQ(engine.state.transactionStep, c.stepAfter);
  EXPECT_EQ(engine.state.reapplySettings, c.reapplyAfter);
  EXPECT_TRUE(ui.Messages().empty()) << "only 'g' asks";
}

INSTANTIATE_TEST_SUITE_P(
    BothTables, OperatorDispatchTest,
    ::testing::Values(
        DispatchCase{"NormalAutoReset", 0, 'R', 0, 0, 0, 0x40, kStepAutoResetSent, 1},
        DispatchCase{"NormalPlainResetClearsReapply", 0, 'r', 3, 1, 0, 0x40, kStepNone, 0},
        DispatchCase{"NormalPoll", 0, 'S', 4, 1, 0, 0x11, kStepNone, 1},
        DispatchCase{"NormalStack2", 0, 'a', 0, 0, 0, 0x42, kStepNone, 0},
        DispatchCase{"NormalBootVersion", 0, 'v', 0, 0, 0, 0x89, kStepNone, 0},
        DispatchCase{"NormalBarcodeInhibitSet", 0, 'c', 0, 0, 0, 0xC7, kStepNone, 0},
        DispatchCase{"NormalMachineNumberSet", 0, 'n', 0, 0, 0, 0xCC, kStepNone, 0},
        DispatchCase{"NormalSignature", 0, 'P', 0, 0, 0, 0xDC, kStepNone, 0},
        DispatchCase{"NormalDownloadStart", 0, 'F', 2, 0, 0, 0xD0, kStepDownloadStart, 0},
        DispatchCase{"NormalReadLog", 0, '2', 0, 0, 0, 0xE1, kStepNone, 0},
        DispatchCase{"NormalHopperDispense", 0, '6', 0, 0, 0, 0x46, kStepNone, 0},
        DispatchCase{"NormalUnknownRejectedStepReset", 0, 'Z', 3, 1, 1, kNothingQueued, kStepNone,
                     1},
        DispatchCase{"NormalConsumedKeyRejected", 0, 'h', 0, 0, 1, kNothingQueued, kStepNone, 0},
        // A character beyond one byte never aliases a table entry.
        DispatchCase{"NormalWideCharacterRejected", 0, 'A' + 256, 0, 0, 1, kNothingQueued,
                     kStepNone, 0},
        DispatchCase{"TestResetReapplies", 1, 'r', 0, 0, 0, 0x40, kStepNone, 1},
        DispatchCase{"TestAutoResetHasNoSequence", 1, 'R', 3, 0, 0, 0x40, kStepNone, 1},
        DispatchCase{"TestBootVersionAsksVersion", 1, 'v', 0, 0, 0, 0x88, kStepNone, 0},
        DispatchCase{"TestVersion", 1, 'V', 0, 0, 0, 0x88, kStepNone, 0},
        DispatchCase{"TestStack1RejectedStepReset", 1, 'A', 2, 1, 1, kNothingQueued, kStepNone, 1},
        DispatchCase{"TestDownloadStartRejected", 2, 'F', 0, 0, 1, kNothingQueued, kStepNone, 0}),
    [](const auto& param) { return std::string(param.param.name); });

// 'g' asks first, on the worker thread; only Yes selects the accept-rate initialisation.
TEST(OperatorDispatchQuestion, AcceptRateInitialisationFollowsTheAnswer) {
  const struct {
    MessageResult answer;
    std::uint8_t code;
    const char* call;
  } cases[] = {
      {MessageResult::Yes, 0xCB, "Question: ACCEPT RATE DATA INITIAL. -> Yes"},
      {MessageResult::No, 0x11, "Question: ACCEPT RATE DATA INITIAL. -> No"},
  };
  for (const auto& c : cases) {
    FakeWindowServices ui;
    FakeSerialLink link;
    FakeClock clock;
    Engine engine{ui, link, clock};
    ui.QueueAnswer(c.answer);

    EXPECT_EQ(DispatchOperatorCommand(engine, 'g'), 0);

    std::uint8_t code = 0;
    ASSERT_TRUE(PeekQueuedCommand(engine, code));
    EXPECT_EQ(code, c.code);
    // No icon: the fake would show it after the word.
    EXPECT_EQ(ui.CallsStartingWith("Question"), std::vector<std::string>{c.call});
  }
}

}  // namespace
}  // namespace tarvik
