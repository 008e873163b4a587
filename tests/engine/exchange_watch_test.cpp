// The worker's safety net: an exchange that nothing will end is ended after a quiet spell, with a
// log line; a line where anything still happens is left alone.
#include "engine/exchange_watch.h"

#include <gtest/gtest.h>

#include "support/fake_window_services.h"

namespace tarvik::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = ExchangeWatch::SteadyClock;

class ExchangeWatchTest : public ::testing::Test {
 protected:
  ExchangeWatchTest() {
    ui.Attach(&engine);
    engine.state.portOpen = 1;
    engine.state.awaitingResponse = 1;
  }

  // Checks at `at` after the start; true when the watch ended the exchange then.
  bool CheckAt(std::chrono::milliseconds at) { return watch.Check(engine, start + at); }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  ExchangeWatch watch;
  const SteadyClock::time_point start = SteadyClock::now();
};

TEST_F(ExchangeWatchTest, AQuietExchangeWithNothingArmedIsEndedOnceWithALogLine) {
  EngineState& s = engine.state;
  s.transactionStep = kStepReapplying;
  s.reapplySettings = 1;
  EXPECT_FALSE(CheckAt(0ms));
  EXPECT_EQ(watch.Deadline(), start + std::chrono::milliseconds(kStuckExchangeMs));
  EXPECT_FALSE(CheckAt(2999ms));
  EXPECT_TRUE(CheckAt(3000ms));
  EXPECT_EQ(s.awaitingResponse, 0);
  EXPECT_EQ(s.transactionStep, kStepNone);
  EXPECT_EQ(s.reapplySettings, 0);
  EXPECT_NE(
      ui.GetLogText().find("Exchange ended: no answer for 3000 msec and nothing left to send."),
      std::string::npos);
  EXPECT_EQ(watch.Deadline(), SteadyClock::time_point::max());
  EXPECT_FALSE(CheckAt(9000ms));
}

// Anything on the line (a frame sent, an answer or error taken) starts the quiet spell again, and
// a follow-up waiting to go out holds it off.
TEST_F(ExchangeWatchTest, ActivityOrAQueuedFollowUpKeepsTheExchange) {
  EngineState& s = engine.state;
  EXPECT_FALSE(CheckAt(0ms));
  s.lineActivity.fetch_add(1);
  EXPECT_FALSE(CheckAt(2500ms));
  EXPECT_FALSE(CheckAt(5000ms));
  QueueCommand(engine, 0x41);
  EXPECT_FALSE(CheckAt(8000ms));
  EXPECT_FALSE(CheckAt(10999ms));
  {
    std::lock_guard lock(s.queueMutex);
    s.commandQueued = 0;
  }
  EXPECT_FALSE(CheckAt(12000ms));
  EXPECT_TRUE(CheckAt(15000ms));
}

TEST_F(ExchangeWatchTest, WatchesOnlyOpenExchangesOnAnOpenPortAndGivesADownloadItsWatchdog) {
  struct Case {
    const char* name;
    std::uint8_t portOpen;
    std::int32_t awaiting;
    std::int32_t globalDownload;
    std::uint8_t normalDownload;
    int endsAfterMs;  // -1: never
  } cases[] = {
      {"no exchange", 1, 0, 0, 0, -1},
      {"port closed", 0, 1, 0, 0, -1},
      {"global download running", 1, 1, 1, 0, -1},
      {"operator exchange", 1, 1, 0, 0, kStuckExchangeMs},
      {"normal download", 1, 1, 0, 1, kStuckDownloadMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExchangeWatch fresh;
    EngineState& s = engine.state;
    s.portOpen = c.portOpen;
    s.awaitingResponse = c.awaiting;
    s.globalDownloadActive = c.globalDownload;
    s.normalDownloadActive = c.normalDownload;
    EXPECT_FALSE(fresh.Check(engine, start));
    if (c.endsAfterMs < 0) {
      EXPECT_FALSE(fresh.Check(engine, start + 60s));
    } else {
      EXPECT_FALSE(fresh.Check(engine, start + std::chrono::milliseconds(c.endsAfterMs - 1)));
      EXPECT_TRUE(fresh.Check(engine, start + std::chrono::milliseconds(c.endsAfterMs)));
    }
  }
}

}  // namespace
}  // namespace tarvik::testing
