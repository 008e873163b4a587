#include <gtest/gtest.h>

#include <thread>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

class EngineStateTest : public ::testing::Test {
 protected:
  EngineStateTest() { ui.Attach(&engine); }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_F(EngineStateTest, StartsWithTheDocumentedValues) {
  const EngineState& s = engine.state;
  EXPECT_EQ(s.pendingCommand, 0);
  EXPECT_EQ(s.commandQueued, 0);
  EXPECT_EQ(s.stackMode, kStackManual);  // the window sets Stack1 when it initialises
  EXPECT_EQ(s.ackMode, kAckAuto);
  EXPECT_EQ(s.pollingMode, kPollingAuto);
  EXPECT_EQ(s.displayMode, kDisplayBinaryFull);
  EXPECT_EQ(s.barcodeInhibitSetting, 0xFE);
  EXPECT_EQ(s.disableSetting, 0);
  EXPECT_EQ(s.polling_duration, 200);
  EXPECT_EQ(s.download_packet_size, 246);
  EXPECT_EQ(s.deviceAddress, 252);
  EXPECT_EQ(s.machineNumber.Text(), "");
}

TEST_F(EngineStateTest, PendingCommandIsOneSlotTakenOnce) {
  PostPendingCommand(engine, 'A');
  PostPendingCommand(engine, 'S');  // overwrites the untaken 'A'
  EXPECT_EQ(TakePendingCommand(engine), 'S');
  EXPECT_EQ(TakePendingCommand(engine), 0);
}

TEST_F(EngineStateTest, QueueCommandStoresTheCodeAndRaisesTheFlag) {
  QueueCommand(engine, 0x41);
  std::uint8_t code = 0;
  ASSERT_TRUE(PeekQueuedCommand(engine, code));
  EXPECT_EQ(code, 0x41);
  QueueCommand(engine, 0x50);  // a later request replaces an earlier one
  ASSERT_TRUE(PeekQueuedCommand(engine, code));
  EXPECT_EQ(code, 0x50);
}

TEST_F(EngineStateTest, MachineNumberKeepsTwentyCharactersAndZeroFill) {
  engine.state.machineNumber.Set("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(engine.state.machineNumber.Text(), "ABCDEFGHIJKLMNOPQRST");
  engine.state.machineNumber.Set("AB-12");
  const auto raw = engine.state.machineNumber.Raw();
  EXPECT_EQ(std::string(raw.data(), 5), "AB-12");
  for (std::size_t i = 5; i < raw.size(); ++i) EXPECT_EQ(raw[i], 0) << i;
}

// The polling decision over every transaction step, polling mode, open exchange and queue state.
struct PollCase {
  std::uint8_t step;
  std::int32_t pollingMode;
  std::int32_t awaitingResponse;
  std::int32_t commandQueued;
};

void PrintTo(const PollCase& c, std::ostream* os) {
  *os << "step " << int(c.step) << ", polling " << c.pollingMode << ", awaiting "
      << c.awaitingResponse << ", queued " << c.commandQueued;
}

// Only step 0 with AUTO polling, no open exchange and nothing queued, and step 3 (Auto Reset
// waiting for INITIALIZE) with nothing queued, ask for a status.
bool ExpectPoll(const PollCase& c) {
  if (c.commandQueued != 0) return false;
  if (c.step == 3) return true;
  return c.step == 0 && c.pollingMode == kPollingAuto && c.awaitingResponse == 0;
}

class PollingDecisionTest : public EngineStateTest,
                            public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollingDecisionTest, QueuesAStatusRequestOnlyWhenAllowedAndAlwaysRestarts) {
  const PollCase& c = GetParam();
  EngineState& s = engine.state;
  s.transactionStep = c.step;
  s.pollingMode = c.pollingMode;
  s.awaitingResponse = c.awaitingResponse;
  s.polling_duration = 150;
  if (c.commandQueued != 0) QueueCommand(engine, 0x41);  // a follow-up already waiting

  ui.Fire(kPollingTimer);

  std::uint8_t code = 0;
  const bool queued = PeekQueuedCommand(engine, code);
  if (ExpectPoll(c)) {
    ASSERT_TRUE(queued);
    EXPECT_EQ(code, 0x11);
  } else if (c.commandQueued != 0) {
    ASSERT_TRUE(queued);
    EXPECT_EQ(code, 0x41) << "a waiting follow-up must not be replaced by a poll";
  } else {
    EXPECT_FALSE(queued);
  }
  EXPECT_TRUE(ui.IsRunning(kPollingTimer));
  EXPECT_EQ(ui.PeriodOf(kPollingTimer), 150);
}

std::vector<PollCase> AllPollCases() {
  std::vector<PollCase> cases;
  for (std::uint8_t step = 0; step <= 4; ++step)
    for (std::int32_t mode : {kPollingAuto, kPollingManu})
      for (std::int32_t awaiting : {0, 1})
        for (std::int32_t queued : {0, 1}) cases.push_back({step, mode, awaiting, queued});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCombination, PollingDecisionTest, ::testing::ValuesIn(AllPollCases()),
    [](const auto& p) {
      const PollCase& c = p.param;
      return "step" + std::to_string(c.step) + (c.pollingMode == kPollingAuto ? "_auto" : "_manu") +
             (c.awaitingResponse ? "_awaiting" : "_idle") + (c.commandQueued ? "_queued" : "_empty");
    });

TEST_F(EngineStateTest, DownloadWatchdogExpirySetsRxTimeOutAndRestartsPolling) {
  engine.state.polling_duration = 300;
  ui.StartTimer(kDownloadTimer, 20000);
  ui.ClearCalls();
  ui.Fire(kDownloadTimer);
  EXPECT_EQ(engine.state.commErrors, kRxTimeOutBit);
  EXPECT_FALSE(ui.IsRunning(kDownloadTimer));
  EXPECT_EQ(ui.Calls(), (std::vector<std::string>{"StopTimer 1", "StartTimer 2 300"}));
}

TEST_F(EngineStateTest, ResponseTimerExpirySetsTheFlagAndStops) {
  ui.StartTimer(kResponseTimer, 300);
  ui.Fire(kResponseTimer);
  EXPECT_EQ(engine.state.responseTimedOut, 1);
  EXPECT_FALSE(ui.IsRunning(kResponseTimer));
  EXPECT_EQ(engine.state.commandQueued, 0);
}

// A follow-up queued on the worker thread while the polling timer fires on the window thread is
// never lost: whichever comes second finds the slot taken (the poll) or replaces the poll (the
// follow-up). Run under ThreadSanitizer this also checks the hand-over for data races.
TEST_F(EngineStateTest, FollowUpQueuedDuringPollingIsNeverReplacedByThePoll) {
  for (int round = 0; round < 200; ++round) {
    engine.state.commandQueued = 0;
    std::thread worker([&] { QueueCommand(engine, 0x41); });
    ui.Fire(kPollingTimer);
    worker.join();
    std::uint8_t code = 0;
    ASSERT_TRUE(PeekQueuedCommand(engine, code));
    ASSERT_EQ(code, 0x41) << "round " << round;
  }
}

}  // namespace
}  // namespace tarvik
