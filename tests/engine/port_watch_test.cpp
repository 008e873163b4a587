#include "engine/port_watch.h"

#include <gtest/gtest.h>

#include "engine/port_control.h"
#include "engine/worker_loop.h"
#include "support/fake_window_services.h"
#include "support/text_count.h"
#include "transport/serial_port.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::MakeFrame;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kNever = SteadyClock::time_point::max();

using testing::Count;

// A host polling a validator whose device then goes away: the fake link closed under the
// engine, and refusing to open until the test lets the device "return".
class PortWatchTest : public ::testing::Test {
 protected:
  PortWatchTest() {
    ui.Attach(&engine);
    engine.state.baud_rate_index = 2;
    engine.state.polling_duration = 150;
    WorkerStartUp(engine);
  }

  // The device vanishes during an operator's exchange, as unplugging it would.
  void LoseDeviceMidExchange() {
    PostPendingCommand(engine, 'V');
    WorkerCycle(engine);  // takes the character, queues VERSION REQUEST
    WorkerCycle(engine);  // sends it; the exchange is open and timer 3 armed
    ASSERT_EQ(engine.state.awaitingResponse, 1);
    ASSERT_TRUE(ui.IsRunning(kResponseTimer));
    link.Close();
    link.RefuseOpen(true);
    ui.ClearCalls();
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  PortWatch watch;
  const SteadyClock::time_point t0 = SteadyClock::now();
};

TEST_F(PortWatchTest, AHealthyPortNeedsNoLook) {
  ui.ClearCalls();
  EXPECT_EQ(watch.Check(engine, t0), kNever);
  EXPECT_FALSE(watch.Lost());
  EXPECT_TRUE(ui.Calls().empty());
}

TEST_F(PortWatchTest, ALostDeviceIsShownAtOnceAndEndsTheExchange) {
  LoseDeviceMidExchange();
  EXPECT_EQ(watch.Check(engine, t0), t0 + milliseconds(kPortReopenIntervalMs));

  const EngineState& s = engine.state;
  EXPECT_TRUE(watch.Lost());
  EXPECT_EQ(s.portOpen, 0);
  EXPECT_EQ(s.awaitingResponse, 0);
  EXPECT_FALSE(ui.IsRunning(kPollingTimer));
  EXPECT_FALSE(ui.IsRunning(kResponseTimer));
  EXPECT_EQ(ui.Field("Comminucation Status"), "Port lost");
  EXPECT_EQ(ui.Field("Validator Status"), "");
  EXPECT_EQ(ui.GetLogText().substr(ui.GetLogText().rfind("Port lost")),
            "Port lost: COM1 went away. Reopening it when it returns.\r\n");

  // While lost, the operator's keys and a late expiry of the old deadline send and log nothing.
  link.ClearWritten();
  const std::string logBefore = ui.GetLogText();
  ui.Fire(kResponseTimer);
  PostPendingCommand(engine, 'S');
  for (int i = 0; i < 3; ++i) WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(ui.GetLogText(), logBefore);
  // Seen once, not again on every later look.
  EXPECT_EQ(watch.Check(engine, t0 + milliseconds(10)), t0 + milliseconds(kPortReopenIntervalMs));
  EXPECT_EQ(Count(ui.GetLogText(), "Port lost"), 1u);
}

TEST_F(PortWatchTest, TheSameDeviceIsTriedOnceASecondAndPollingResumes) {
  LoseDeviceMidExchange();
  const auto firstTry = watch.Check(engine, t0);
  // Not before it is due, and a refused attempt sets the next one a second later.
  EXPECT_EQ(watch.Check(engine, firstTry - milliseconds(1)), firstTry);
  EXPECT_EQ(watch.Check(engine, firstTry), firstTry + milliseconds(kPortReopenIntervalMs));
  EXPECT_TRUE(watch.Lost());

  link.RefuseOpen(false);
  ui.ClearCalls();
  EXPECT_EQ(watch.Check(engine, firstTry + milliseconds(kPortReopenIntervalMs)), kNever);
  EXPECT_FALSE(watch.Lost());
  EXPECT_EQ(engine.state.portOpen, 1);
  // The same port at the same rate, and polling at its period.
  EXPECT_EQ(link.LastPortNumber(), 1);
  EXPECT_EQ(link.LastBaudRate(), kBaud38400);
  EXPECT_EQ(ui.PeriodOf(kPollingTimer), 150);
  EXPECT_NE(ui.GetLogText().find("Port reopened: COM1. Polling resumes.\r\n"), std::string::npos);

  // The timer-3 expiry left over from before the loss is no time-out of anything now.
  ui.Fire(kResponseTimer);
  ui.Fire(kPollingTimer);
  link.ClearWritten();
  WorkerCycle(engine);
  ASSERT_EQ(link.Written().size(), 1u);
  EXPECT_EQ(link.Written()[0], MakeFrame(0x11));
  link.Deliver(MakeFrame(0x11));
  WorkerCycle(engine);
  EXPECT_EQ(ui.Field("Comminucation Status"), "OK");
  EXPECT_EQ(ui.GetLogText().find("300msec Timeout"), std::string::npos);
}

TEST_F(PortWatchTest, ClosingThePortOnPurposeIsNoLoss) {
  ASSERT_TRUE(ToggleComPort(engine));
  ui.ClearCalls();
  EXPECT_EQ(watch.Check(engine, t0), kNever);
  EXPECT_FALSE(watch.Lost());
  EXPECT_EQ(watch.Check(engine, t0 + milliseconds(5 * kPortReopenIntervalMs)), kNever);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(ui.Calls().empty());
}

TEST_F(PortWatchTest, APortTheOperatorOpensMeanwhileEndsTheWatch) {
  LoseDeviceMidExchange();
  watch.Check(engine, t0);
  link.RefuseOpen(false);
  ASSERT_TRUE(ToggleComPort(engine));  // the Properties dialog's reopen
  EXPECT_EQ(watch.Check(engine, t0 + milliseconds(1)), kNever);
  EXPECT_FALSE(watch.Lost());
  EXPECT_EQ(Count(ui.GetLogText(), "Port reopened"), 0u);
}

}  // namespace
}  // namespace tarvik
