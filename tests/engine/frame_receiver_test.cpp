#include "engine/frame_receiver.h"

#include <gtest/gtest.h>

#include <functional>

#include "allocation_counter.h"
#include "engine/command_sender.h"
#include "support/fake_window_services.h"
#include "support/text_count.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::Hex;
using testing::MakeFrame;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kUntouched = 7;  // a value ReceiveFrame never writes into the end flag

const Bytes kStatusIdling = MakeFrame(0x11);  // FC 05 11 27 56

std::string ArrowLine(std::string_view text, std::string_view dump) {
  return "              <--- " + std::string(text) + "\r\n                   [" +
         std::string(dump) + "]\r\n";
}

class ReceiverTest : public ::testing::Test {
 protected:
  ReceiverTest() {
    ui.Attach(&engine);
    link.Open(1, 9600);
  }

  // One call; `flag` starts at a value the receiver must leave alone unless it ends the exchange.
  ReceiveResult Receive() {
    flag = kUntouched;
    return ReceiveFrame(engine, flag);
  }

  std::vector<std::string> LogCalls() const { return ui.CallsStartingWith("Log: "); }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  std::int32_t flag = kUntouched;
};

TEST_F(ReceiverTest, IdleLineReceivesNothingAndChangesNothing) {
  EngineState& s = engine.state;
  s.transactionStep = kStepReapplying;
  s.lastStatus = 5;
  s.statusChanged = 1;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Receive(), ReceiveResult::NothingReceived);
    EXPECT_EQ(flag, kUntouched);
  }
  EXPECT_TRUE(LogCalls().empty());
  EXPECT_EQ(s.transactionStep, kStepReapplying);
  EXPECT_EQ(s.lastStatus, 5);
  EXPECT_EQ(s.statusChanged, 1);
  EXPECT_EQ(clock.pausedMs, 0) << "an idle call never waits";
  EXPECT_EQ(ui.Field("Comminucation Status"), "OK");
}

// A window that keeps the communication status without recording it, so that the only
// allocations an idle call could make would be the receiver's own.
class QuietStatusWindow : public FakeWindowServices {
 public:
  void ShowCommStatus(std::string_view text) override { lastWasOk = text == "OK"; }
  bool lastWasOk = false;
};

TEST(ReceiverIdleTest, IdleCallAllocatesNothing) {
  QuietStatusWindow ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  link.Open(1, 9600);
  std::int32_t flag = 0;
  ReceiveFrame(engine, flag);  // first use of every path outside the measurement

  const std::size_t before = testing::AllocationCount();
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(ReceiveFrame(engine, flag), ReceiveResult::NothingReceived);
  EXPECT_EQ(testing::AllocationCount() - before, 0u);
  EXPECT_TRUE(ui.lastWasOk);
}

// --- Failures --------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  Bytes queued;  // on the line before the call
  std::uint8_t responseTimedOut;
  std::uint8_t step;
  std::uint8_t normalDownloadActive;
  std::uint32_t commErrors;
  ReceiveResult result;
  std::string log;  // what the box receives
  long long waitedMs;
  std::size_t leftQueued;  // bytes still on the line afterwards
  std::uint8_t stepAfter;
  std::string commStatus;
};

class ReceiverFailureTest : public ReceiverTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReceiverFailureTest, ReportsAndEndsTheExchange) {
  const FailureCase& c = GetParam();
  EngineState& s = engine.state;
  s.responseTimedOut = c.responseTimedOut;
  s.transactionStep = c.step;
  s.normalDownloadActive = c.normalDownloadActive;
  s.commErrors = c.commErrors;
  s.rxIsStatus = 1;  // left from an earlier frame
  link.Deliver(c.queued);

  EXPECT_EQ(Receive(), c.result);

  EXPECT_EQ(flag, c.result == ReceiveResult::ExchangeEnded ? 1 : kUntouched);
  EXPECT_EQ(ui.GetLogText(), c.log);
  EXPECT_LE(LogCalls().size(), 1u);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(clock.elapsed).count(),
            c.waitedMs);
  EXPECT_EQ(link.Queued(), c.leftQueued);
  EXPECT_EQ(s.transactionStep, c.stepAfter);
  EXPECT_EQ(s.responseTimedOut, 0) << "the expiry is consumed";
  EXPECT_EQ(s.rxIsStatus, 0);
  EXPECT_EQ(ui.Field("Comminucation Status"), c.commStatus);
}

const Bytes kFrame7 = MakeFrame(0xC0, {0x12, 0x34});

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, ReceiverFailureTest,
    ::testing::Values(
        FailureCase{"stray_byte", {0x33}, 0, 2, 0, 0, ReceiveResult::ExchangeEnded,
                    ArrowLine("Sync Byte Error.", "33"), 0, 0, 0, "OK"},
        FailureCase{"sync_then_silence", {0xFC}, 0, 2, 0, 0, ReceiveResult::ExchangeEnded,
                    ArrowLine("Reception Data Length Error.", "FC"), 50, 0, 0, "OK"},
        FailureCase{"frame_cut_short", {0xFC, 0x06, 0xAA, 0xBB}, 0, 2, 0, 0,
                    ReceiveResult::ExchangeEnded,
                    // 50 ms after the last byte; every byte taken is shown
                    ArrowLine("Reception Data Length Error.", "FC 06 AA BB"), 50, 0, 0, "OK"},
        FailureCase{"length_two", {0xFC, 0x02, 0x11, 0x27, 0x56}, 0, 2, 0, 0,
                    ReceiveResult::ExchangeEnded,
                    // no byte to wait for: reported at once
                    ArrowLine("Reception Data Length Error.", "FC 02"), 0, 3, 0, "OK"},
        FailureCase{"length_zero", {0xFC, 0x00}, 0, 2, 0, 0, ReceiveResult::ExchangeEnded,
                    ArrowLine("Reception Data Length Error.", "FC 00"), 0, 0, 0, "OK"},
        FailureCase{"response_timeout", kFrame7, 1, 2, 0, 0, ReceiveResult::ExchangeEnded,
                    ArrowLine("300msec Timeout Error for Response.", ""), 0, 7, 0, ""},
        FailureCase{"response_timeout_waiting_for_initialize", kFrame7, 1, 3, 0, 0,
                    ReceiveResult::NothingReceived, "", 0, 7, 3, ""},
        FailureCase{"comm_error", kFrame7, 0, 4, 0, kRxTimeOutBit, ReceiveResult::ExchangeEnded,
                    "", 0, 7, 0, "Rx Time Out"},
        FailureCase{"comm_error_in_download", kFrame7, 0, 1, 1, kRxTimeOutBit,
                    ReceiveResult::ExchangeEnded, ArrowLine("Timeout Error.", ""), 0, 7, 0,
                    "Rx Time Out"},
        FailureCase{"several_comm_errors", {}, 0, 0, 0, kRxTimeOutBit | kBreakBit | kOverrunBit,
                    ReceiveResult::ExchangeEnded, "", 0, 0, 0, "Break Interrupt Error"}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

TEST_F(ReceiverTest, CommErrorTextsInTheirOrder) {
  const struct {
    std::uint32_t bits;
    bool any;
    std::vector<std::string> shown;
  } cases[] = {
      {0, false, {"OK"}},
      {kRxTimeOutBit, true, {"Rx Time Out"}},
      {kTxTimeOutBit, true, {"Tx Time Out"}},
      {kOverrunBit, true, {"Overrun Error"}},
      {kFramingBit, true, {"Framing Error"}},
      {kBreakBit, true, {"Break Interrupt Error"}},
      {kBreakBit | kRxTimeOutBit | kFramingBit,
       true,
       {"Rx Time Out", "Framing Error", "Break Interrupt Error"}},
      {0x01 | 0x04 | 0x80 | 0x100, false, {"OK"}},  // bits without a meaning
  };
  for (const auto& c : cases) {
    ui.ClearCalls();
    EXPECT_EQ(CheckCommErrors(engine, c.bits), c.any) << c.bits;
    std::vector<std::string> shown;
    for (const auto& call : ui.CallsStartingWith("Field Comminucation Status: ")) {
      shown.push_back(call.substr(28));
    }
    EXPECT_EQ(shown, c.shown) << c.bits;
  }
}

// While no frame can arrive, a set error bit must not keep the host deaf: once reported, the
// error is cleared and the next call reads the line again.
TEST_F(ReceiverTest, ReceptionResumesAfterACommunicationError) {
  for (std::uint8_t download : std::initializer_list<std::uint8_t>{0, 1}) {
    SCOPED_TRACE(download ? "during a normal download" : "outside a download");
    ui.ClearCalls();
    engine.state.normalDownloadActive = download;
    ui.Fire(kDownloadTimer);  // the watchdog's expiry sets Rx Time Out
    ASSERT_EQ(engine.state.commErrors, kRxTimeOutBit);
    link.Deliver(kStatusIdling);

    EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
    EXPECT_EQ(LogCalls().size(), download ? 1u : 0u);
    EXPECT_EQ(engine.state.commErrors, 0u);

    EXPECT_EQ(Receive(), ReceiveResult::FrameReceived);
    EXPECT_EQ(std::string(engine.rx.hexText.data()), Hex(kStatusIdling));
    EXPECT_EQ(ui.Field("Comminucation Status"), "OK");
  }
}

// --- Frames ------------------------------------------------------------------------------------

TEST_F(ReceiverTest, TwoStrayBytesThenAFrame) {
  link.Deliver({0x00, 0x33});
  link.Deliver(kStatusIdling);

  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  EXPECT_EQ(ui.GetLogText(),
            ArrowLine("Sync Byte Error.", "00") + ArrowLine("Sync Byte Error.", "33"));

  EXPECT_EQ(Receive(), ReceiveResult::FrameReceived);
  EXPECT_EQ(flag, kUntouched);
  EXPECT_EQ(Hex(Bytes(engine.rxFrame.begin(), engine.rxFrame.begin() + 5)), Hex(kStatusIdling));
  EXPECT_EQ(engine.rx.byteCount, 5);
  EXPECT_EQ(std::string(engine.rx.hexText.data()), "FC 05 11 27 56");
  EXPECT_EQ(LogCalls().size(), 2u) << "a complete frame is logged by its handler, not here";
}

TEST_F(ReceiverTest, FramesBackToBackAreTakenOneByOne) {
  const Bytes largest = MakeFrame(0xE1, Bytes(250, 0x5A));
  link.Deliver(kFrame7);
  link.Deliver(largest);
  EXPECT_EQ(Receive(), ReceiveResult::FrameReceived);
  EXPECT_EQ(std::string(engine.rx.hexText.data()), Hex(kFrame7));
  EXPECT_EQ(Receive(), ReceiveResult::FrameReceived);
  EXPECT_EQ(engine.rx.byteCount, 255);
  EXPECT_EQ(Hex(Bytes(engine.rxFrame.begin(), engine.rxFrame.begin() + 255)), Hex(largest));
  EXPECT_EQ(Receive(), ReceiveResult::NothingReceived);
  EXPECT_EQ(clock.pausedMs, 0);
}

// Bytes arriving at given times (µs after SYNC), each in one piece.
struct Arrival {
  long long atUs;
  Bytes bytes;
};

struct TimedReceive {
  ReceiveResult result;
  long long elapsedUs;  // when the receiver returned
  std::string hex;      // the frame taken, when one was
};

// SYNC is on the line at time 0; the rest comes as `arrivals` say.
TimedReceive ReceiveWithArrivals(const std::vector<Arrival>& arrivals, int baudIndex = 0) {
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine e{ui, link, clock};
  e.state.baud_rate_index = baudIndex;
  link.Open(1, 9600);
  link.Deliver({0xFC});
  for (const Arrival& a : arrivals) {
    if (a.atUs == 0) {
      link.Deliver(a.bytes);
    } else {
      clock.At(std::chrono::microseconds(a.atUs),
               [&link, bytes = a.bytes] { link.Deliver(bytes); });
    }
  }
  std::int32_t endFlag = kUntouched;
  TimedReceive out{ReceiveFrame(e, endFlag), clock.elapsed.count(), {}};
  if (out.result == ReceiveResult::FrameReceived) out.hex = e.rx.hexText.data();
  return out;
}

// The frame is given up 50 ms after the last byte that arrived, and never later than its own
// line time (7 bytes at 9,600 baud: 8.02 ms) plus 50 ms after its first byte.
TEST_F(ReceiverTest, AFrameIsGivenUpFiftyMillisecondsAfterItsLastByte) {
  const Bytes lng{kFrame7[1]};
  const Bytes rest(kFrame7.begin() + 2, kFrame7.end());
  const Bytes third{kFrame7[2]};
  const Bytes tail(kFrame7.begin() + 3, kFrame7.end());
  const struct {
    const char* name;
    std::vector<Arrival> arrivals;
    ReceiveResult result;
    long long elapsedUs;
  } cases[] = {
      {"all at once", {{0, lng}, {0, rest}}, ReceiveResult::FrameReceived, 0},
      {"LNG 50 ms late", {{50000, lng}, {50000, rest}}, ReceiveResult::FrameReceived, 50000},
      {"LNG too late", {{50001, lng}, {50001, rest}}, ReceiveResult::ExchangeEnded, 50000},
      {"rest 50 ms after LNG", {{5000, lng}, {55000, rest}}, ReceiveResult::FrameReceived, 55000},
      {"rest too late", {{5000, lng}, {55001, rest}}, ReceiveResult::ExchangeEnded, 55000},
      {"each byte within 50 ms, yet past the line time",
       {{0, lng}, {30000, third}, {59000, tail}},
       ReceiveResult::ExchangeEnded,
       58020},
      {"nothing after SYNC", {}, ReceiveResult::ExchangeEnded, 50000},
  };
  for (const auto& c : cases) {
    const TimedReceive got = ReceiveWithArrivals(c.arrivals);
    EXPECT_EQ(got.result, c.result) << c.name;
    EXPECT_EQ(got.elapsedUs, c.elapsedUs) << c.name;
    if (c.result == ReceiveResult::FrameReceived) {
      EXPECT_EQ(got.hex, Hex(kFrame7)) << c.name;
    }
  }
}

// The longest answer takes 292 ms on a 9,600 baud line: arriving at the line's pace it is taken
// whole, while a validator that stops mid-frame, or an LNG that promises bytes that never come,
// is given up on 50 ms after its last byte rather than after the promised line time.
TEST_F(ReceiverTest, ALongFrameArrivesWholeAtTheLinesPace) {
  Bytes data(250);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('A' + i % 26);
  const Bytes frame = MakeFrame(0x88, data);
  // Byte k (from 1) of the frame arrives when the line has carried it.
  const auto paced = [&frame](int baud, long long stallAfter, long long stallUs) {
    std::vector<Arrival> arrivals;
    for (std::size_t k = 1; k < frame.size(); ++k) {
      long long at = static_cast<long long>(k) * 11 * 1000000 / baud;
      if (static_cast<long long>(k) > stallAfter) at += stallUs;
      arrivals.push_back({at, {frame[k]}});
    }
    return arrivals;
  };
  const struct {
    const char* name;
    std::vector<Arrival> arrivals;
    int baudIndex;
    ReceiveResult result;
    long long elapsedUs;
  } cases[] = {
      {"9,600 baud", paced(9600, 255, 0), 0, ReceiveResult::FrameReceived, 291041},
      {"38,400 baud", paced(38400, 255, 0), 2, ReceiveResult::FrameReceived, 72760},
      {"9,600 baud, 40 ms stall", paced(9600, 100, 40000), 0, ReceiveResult::FrameReceived, 331041},
      {"9,600 baud, stopped after 100 bytes", paced(9600, 100, 1000000), 0,
       ReceiveResult::ExchangeEnded, 114583 + 50000},
      {"garbage LNG, then silence", {{0, {0xFF}}}, 0, ReceiveResult::ExchangeEnded, 50000},
      {"38,400 baud, a byte every 45 ms",
       [] {
         std::vector<Arrival> a{{0, {0xFF}}};
         for (int k = 1; k < 10; ++k) a.push_back({45000LL * k, {0x41}});
         return a;
       }(),
       2, ReceiveResult::ExchangeEnded, 123046},
  };
  for (const auto& c : cases) {
    const TimedReceive got = ReceiveWithArrivals(c.arrivals, c.baudIndex);
    EXPECT_EQ(got.result, c.result) << c.name;
    EXPECT_EQ(got.elapsedUs, c.elapsedUs) << c.name;
    if (c.result == ReceiveResult::FrameReceived) {
      EXPECT_EQ(got.hex, Hex(frame)) << c.name;
    }
  }
}

TEST_F(ReceiverTest, StatusChangeTracking) {
  const struct {
    Bytes bytes;
    ReceiveResult result;
    std::uint8_t rxIsStatus;
    std::uint8_t statusChanged;
    std::uint8_t lastStatus;
  } steps[] = {
      {MakeFrame(0x11), ReceiveResult::FrameReceived, 1, 1, 1},
      {MakeFrame(0x11), ReceiveResult::FrameReceived, 1, 0, 1},  // repeated unchanged
      {{0x44}, ReceiveResult::ExchangeEnded, 0, 0, 1},           // an error line after it
      {MakeFrame(0x1B), ReceiveResult::FrameReceived, 1, 1, 11},
      {MakeFrame(0x40), ReceiveResult::FrameReceived, 1, 1, 12},
      {MakeFrame(0x4A), ReceiveResult::FrameReceived, 1, 1, 22},
      {MakeFrame(0xDE), ReceiveResult::FrameReceived, 1, 1, 23},
      {MakeFrame(0xDF), ReceiveResult::FrameReceived, 1, 1, 24},
      {MakeFrame(0x50), ReceiveResult::FrameReceived, 0, 0, 24},  // not a status
      {MakeFrame(0xDF), ReceiveResult::FrameReceived, 1, 0, 24},
  };
  int index = 0;
  for (const auto& step : steps) {
    link.Deliver(step.bytes);
    EXPECT_EQ(Receive(), step.result) << index;
    EXPECT_EQ(engine.state.rxIsStatus, step.rxIsStatus) << index;
    EXPECT_EQ(engine.state.statusChanged, step.statusChanged) << index;
    EXPECT_EQ(engine.state.lastStatus, step.lastStatus) << index;
    ++index;
  }
}

// The awaited answer stops the 300 ms deadline; any other frame is received and leaves it
// running, so the time-out is still reported once it expires.
TEST_F(ReceiverTest, OnlyTheAwaitedAnswerStopsTheResponseTimer) {
  const struct {
    std::uint8_t lastCommand;
    std::uint8_t code;
    bool stops;
  } cases[] = {
      {0x40, 0x50, true}, {0x40, 0x4B, true},  {0x40, 0x4A, false}, {0x11, 0x1A, true},
      {0x11, 0xD4, true}, {0x11, 0x50, false}, {0x88, 0x88, true},  {0x88, 0x4B, false},
      {0xC3, 0xC3, true}, {0xC3, 0x4B, true},  {0xC3, 0x50, false}, {0x21, 0x77, true},
      {0xE1, 0xE1, true}, {0xE1, 0x50, false}, {0x12, 0x12, false}, {0xDC, 0xDC, false},
  };
  for (const auto& c : cases) {
    ui.ClearCalls();
    ui.StartTimer(kResponseTimer, 300);
    engine.state.lastCommand = c.lastCommand;
    link.Deliver(MakeFrame(c.code));
    ASSERT_EQ(Receive(), ReceiveResult::FrameReceived);
    EXPECT_EQ(!ui.IsRunning(kResponseTimer), c.stops)
        << Hex({c.lastCommand}) << " answered by " << Hex({c.code});
  }

  // Reset answered by "Communication Error": received, yet the deadline still expires.
  engine.state.lastCommand = 0x40;
  ui.StartTimer(kResponseTimer, 300);
  link.Deliver(MakeFrame(0x4A));
  ASSERT_EQ(Receive(), ReceiveResult::FrameReceived);
  ui.Fire(kResponseTimer);
  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  EXPECT_NE(ui.GetLogText().find("300msec Timeout Error for Response."), std::string::npos);
}

// A receive error ends the exchange and its answer deadline with it: an expiry already on its way
// is not reported as a second time-out, while the next command's deadline is reported as ever.
TEST_F(ReceiverTest, AReceiveErrorEndsTheExchangeOnceAndItsDeadlineWithIt) {
  EngineState& s = engine.state;
  s.armResponseTimer = 1;
  ASSERT_EQ(SendCommand(engine, 0x88), 1);
  ASSERT_TRUE(ui.IsRunning(kResponseTimer));

  link.Deliver({0x00});
  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  EXPECT_FALSE(ui.IsRunning(kResponseTimer));
  ui.Fire(kResponseTimer);  // the expiry raced the stop
  EXPECT_EQ(Receive(), ReceiveResult::NothingReceived);
  EXPECT_EQ(flag, kUntouched);

  s.armResponseTimer = 1;
  ASSERT_EQ(SendCommand(engine, 0x88), 1);
  ui.Fire(kResponseTimer);
  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  const std::string log = ui.GetLogText();
  EXPECT_NE(log.find("Sync Byte Error."), std::string::npos);
  EXPECT_EQ(testing::Count(log, "300msec Timeout"), 1U);
}

// A chain of stored settings cut short by a silent validator is over: the operator's next
// setting carries the value typed for it, not the stored one.
TEST_F(ReceiverTest, ATimeOutInTheSettingsChainEndsTheReapplication) {
  EngineState& s = engine.state;
  s.transactionStep = kStepReapplying;
  s.reapplySettings = 1;
  ui.Fire(kResponseTimer);
  EXPECT_EQ(Receive(), ReceiveResult::ExchangeEnded);
  EXPECT_EQ(s.transactionStep, kStepNone);
  EXPECT_EQ(s.reapplySettings, 0);
}

// The download watchdog measures from the last download command: neither a quiet pass nor an
// answer stops it, so a download whose validator goes silent, or whose answer sends nothing on,
// still ends when it expires.
TEST_F(ReceiverTest, DownloadWatchdogRunsOnThroughReceiverCalls) {
  engine.state.normalDownloadActive = 1;
  ui.StartTimer(kDownloadTimer, 20000);
  EXPECT_EQ(Receive(), ReceiveResult::NothingReceived);
  EXPECT_TRUE(ui.IsRunning(kDownloadTimer));
  link.Deliver(MakeFrame(0x11));
  EXPECT_EQ(Receive(), ReceiveResult::FrameReceived);
  EXPECT_TRUE(ui.IsRunning(kDownloadTimer));
}

}  // namespace
}  // namespace tarvik
