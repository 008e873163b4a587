// The rule that keeps the host from hanging: after any response, in any step and mode, the
// exchange is either over, or something is armed that will end it: a follow-up that goes out
// with its response deadline, the polling of a validator coming back from an Auto Reset, or a
// normal download's watchdog. Walks every row of the response table, so a new row that breaks
// the rule fails here.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "engine/command_sender.h"
#include "engine/dispatch_fixture.h"
#include "engine/response_table.h"

namespace tarvik::testing {
namespace {

struct Situation {
  std::uint8_t step;
  std::int32_t stackMode;
  std::uint8_t ackMode;
  std::uint8_t fill;  // every data byte
  int lng;
};

std::string Hex(std::uint8_t byte) {
  std::ostringstream text;
  text << "0x" << std::hex << int{byte};
  return text.str();
}

std::string Describe(const ResponseRow& row, const Situation& at) {
  std::ostringstream text;
  text << "code " << Hex(row.code) << ", step " << int{at.step} << ", stack mode " << at.stackMode
       << ", ACK mode " << int{at.ackMode} << ", LNG " << at.lng << ", data bytes " << Hex(at.fill);
  return text.str();
}

// An operator exchange is open when the frame arrives, and its response timer has already been
// stopped (the frame answers the command), the case in which nothing else would end it.
::testing::AssertionResult ExchangeCanEnd(const ResponseRow& row, const Situation& at) {
  DispatchFixture f;
  EngineState& s = f.engine.state;
  s.awaitingResponse = 1;
  s.transactionStep = at.step;
  s.stackMode = at.stackMode;
  s.ackMode = at.ackMode;
  s.reapplySettings = at.step == kStepAutoResetSent || at.step >= kStepAutoResetAcked ? 1 : 0;
  s.normalDownloadActive = at.step == kStepDownloadStart ? 1 : 0;
  // The last download command armed the watchdog, as the sender does for each of them.
  if (at.step == kStepDownloadStart) f.ui.StartTimer(kDownloadTimer, 20000);

  const std::vector<std::uint8_t> data(static_cast<std::size_t>(at.lng - kMinFrameLength), at.fill);
  if (f.Receive(MakeFrame(row.code, data)) == 1) return ::testing::AssertionSuccess();

  std::uint8_t followUp = 0;
  if (PeekQueuedCommand(f.engine, followUp)) {
    s.commandQueued = 0;
    SendCommand(f.engine, followUp);
    if (f.ui.IsRunning(kResponseTimer) ||
        (s.normalDownloadActive.load() != 0 && f.ui.IsRunning(kDownloadTimer))) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << Describe(row, at) << ": follow-up " << Hex(followUp)
                                         << " went out with no response timer running";
  }
  if (s.transactionStep.load() == kStepAutoResetAcked) {
    // The polling timer asks for a status on every tick, whatever the polling mode.
    s.pollingMode = kPollingManu;
    f.ui.Fire(kPollingTimer);
    if (f.FollowUp() == 0x11) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Describe(row, at) << ": step 3 without a poll";
  }
  if (s.normalDownloadActive.load() != 0 && f.ui.IsRunning(kDownloadTimer)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << Describe(row, at) << ": the exchange stays open with nothing armed to end it";
}

TEST(ExchangeRuleTest, EveryRowInEveryStepAndModeLeavesSomethingToEndTheExchange) {
  int walked = 0;
  for (int code = 0; code < 256; ++code) {
    for (const ResponseRow* row : Responses().RowsOf(static_cast<std::uint8_t>(code))) {
      // Own-length rows at their shortest and with a few more data bytes.
      std::vector<int> lengths{row->length};
      if (row->length == kOwnLength) lengths = {row->minLength, row->minLength + 3};
      for (std::uint8_t step = kStepNone; step <= kStepReapplying; ++step) {
        if (!StepSetHas(row->steps, step)) continue;
        for (std::int32_t stack = kStackManual; stack <= kStackReject; ++stack) {
          for (std::uint8_t ack : {kAckManu, kAckAuto}) {
            for (const int fill : {0x00, 0x20, 0x63, 0xFF}) {
              for (int lng : lengths) {
                EXPECT_TRUE(
                    ExchangeCanEnd(*row, {step, stack, ack, static_cast<std::uint8_t>(fill), lng}));
                ++walked;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(walked, 0);
}

}  // namespace
}  // namespace tarvik::testing
