#include "engine/command_sender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "engine/comm_log.h"
#include "protocol/command_catalogue.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::Hex;
using testing::MakeFrame;
using Bytes = std::vector<std::uint8_t>;

Bytes Ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class SenderTest : public ::testing::Test {
 protected:
  SenderTest() {
    ui.Attach(&engine);
    link.Open(1, 9600);
    // 9:05:07 on 3 February 2024.
    clock.now.tm_hour = 9;
    clock.now.tm_min = 5;
    clock.now.tm_sec = 7;
    clock.now.tm_mday = 3;
    clock.now.tm_mon = 1;
    clock.now.tm_year = 124;
  }

  std::vector<std::string> TimerCalls() const {
    std::vector<std::string> calls;
    for (const auto& call : ui.Calls()) {
      if (call.find("Timer ") != std::string::npos) calls.push_back(call);
    }
    return calls;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

// --- Frame bytes ---------------------------------------------------------------------------------

struct FrameCase {
  const char* name;
  std::uint8_t code;
  std::function<void(Engine&)> setUp;
  Bytes expected;
};

void Nothing(Engine&) {}

Bytes Packet(std::size_t n) {
  Bytes packet(n);
  for (std::size_t i = 0; i < n; ++i) packet[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return packet;
}

void LoadPacket(Engine& e, std::size_t n) {
  EngineState& s = e.state;
  s.downloadAddress = {0x0E, 0x2D, 0x01, 0x00};
  const Bytes packet = Packet(std::min<std::size_t>(n, s.downloadPacket.size()));
  std::copy(packet.begin(), packet.end(), s.downloadPacket.begin());
  s.downloadPacketLength = static_cast<std::uint32_t>(n);
}

std::vector<FrameCase> FrameCases() {
  std::vector<FrameCase> cases = {
      {"status", 0x11, Nothing, {0xFC, 0x05, 0x11, 0x27, 0x56}},
      {"status_broadcast",
       0x11,
       [](Engine& e) { e.state.deviceAddress = 0xF0; },
       {0xF0, 0x05, 0x11, 0x84, 0xF3}},
      {"reset", 0x40, Nothing, {0xFC, 0x05, 0x40, 0x2B, 0x15}},
      {"ack", 0x50, Nothing, {0xFC, 0x05, 0x50, 0xAA, 0x05}},
      {"disable_set_typed",
       0xC0,
       [](Engine& e) { e.commandValue = 0x1234; },
       {0xFC, 0x07, 0xC0, 0x12, 0x34, 0xAB, 0x64}},
      {"disable_set_reapplied", 0xC0,
       [](Engine& e) {
         e.commandValue = 0x1234;
         e.state.reapplySettings = 1;
         e.state.disableSetting = 0x0506;
       },
       MakeFrame(0xC0, {0x05, 0x06})},
      {"inhibit_set_broadcast_reapplied",
       0xC3,
       [](Engine& e) {
         e.state.deviceAddress = 0xF0;
         e.state.reapplySettings = 1;
         e.state.inhibitSetting = 1;
         e.commandValue = 0x77;
       },
       {0xF0, 0x06, 0xC3, 0x01, 0xB9, 0x50}},
      {"barcode_inhibit_set_initial",
       0xC7,
       [](Engine& e) { e.state.reapplySettings = 1; },
       {0xFC, 0x06, 0xC7, 0xFE, 0x95, 0xAF}},
      {"dispense", 0x46, [](Engine& e) { e.commandValue = 0xABCD; }, MakeFrame(0x46, {0xAB, 0xCD})},
      {"currency_set", 0xCA, [](Engine& e) { e.commandValue = 0x1234; }, MakeFrame(0xCA, {0x34})},
      {"accept_rate_data", 0xCB, Nothing, MakeFrame(0xCB, Ascii(" 90507030224"))},
      {"machine_number_set", 0xCC, [](Engine& e) { e.state.machineNumber.Set("12345"); },
       Concat(Concat({0xFC, 0x19, 0xCC}, Ascii("12345" + std::string(15, ' '))), {0x04, 0x9C})},
      {"machine_number_set_full", 0xCC,
       [](Engine& e) { e.state.machineNumber.Set("ABCDEFGHIJKLMNOPQRSTUVW"); },
       MakeFrame(0xCC, Ascii("ABCDEFGHIJKLMNOPQRST"))},
      {"download_largest_packet", 0xD1, [](Engine& e) { LoadPacket(e, 246); },
       MakeFrame(0xD1, Concat({0x0E, 0x2D, 0x01, 0x00}, Packet(246)))},
      {"download_empty_packet", 0xD1, [](Engine& e) { LoadPacket(e, 0); },
       MakeFrame(0xD1, {0x0E, 0x2D, 0x01, 0x00})},
      {"download_oversized_packet_is_cut", 0xD1, [](Engine& e) { LoadPacket(e, 300); },
       MakeFrame(0xD1, Concat({0x0E, 0x2D, 0x01, 0x00}, Packet(246)))},
      {"program_signature", 0xDC, Nothing, {0xFC, 0x07, 0xDC, 0x00, 0x00, 0x1B, 0x95}},
      {"acceptance_init", 0xE0, [](Engine& e) { e.state.machineNumber.Set("AB"); },
       MakeFrame(0xE0, Concat(Ascii("03022024AB"), Bytes(18, 0x00)))},
  };
  // The value commands carry the typed value, two bytes high first or the low byte alone.
  for (std::uint8_t code : std::initializer_list<std::uint8_t>{0xC1, 0xC5, 0xC6}) {
    cases.push_back({"set_16bit", code, [](Engine& e) { e.commandValue = 0xA55A; },
                     MakeFrame(code, {0xA5, 0x5A})});
  }
  for (std::uint8_t code : std::initializer_list<std::uint8_t>{0xC2, 0xC4, 0xC7}) {
    cases.push_back(
        {"set_8bit", code, [](Engine& e) { e.commandValue = 0xA55A; }, MakeFrame(code, {0x5A})});
  }
  // Every command without data.
  for (std::uint8_t code : std::initializer_list<std::uint8_t>{
           0x21, 0x41, 0x42, 0x43, 0x44, 0x45, 0x4A, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85,
           0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8F, 0xD0, 0xD2, 0xD8, 0xE1}) {
    cases.push_back({"no_data", code, Nothing, MakeFrame(code)});
  }
  return cases;
}

TEST_F(SenderTest, EveryCatalogueCommandIsWrittenAsItsFrame) {
  std::size_t covered = 0;
  for (const FrameCase& c : FrameCases()) {
    SCOPED_TRACE(std::string(c.name) + " " + Hex({c.code}));
    FakeWindowServices caseUi;
    FakeSerialLink caseLink;
    caseLink.Open(1, 9600);
    Engine e{caseUi, caseLink, clock};
    c.setUp(e);

    ASSERT_EQ(SendCommand(e, c.code), 1);

    ASSERT_EQ(caseLink.Written().size(), 1u);
    EXPECT_EQ(Hex(caseLink.Written()[0]), Hex(c.expected));
    EXPECT_EQ(e.tx.byteCount, static_cast<std::int32_t>(c.expected.size()));
    EXPECT_EQ(std::string(e.tx.hexText.data()), Hex(c.expected));
    EXPECT_EQ(e.state.lastCommand, c.code);
    ++covered;
  }
  // Each row of the catalogue has at least one case above.
  for (const CommandInfo& row : kCommandCatalogue) {
    bool found = false;
    for (const FrameCase& c : FrameCases()) found = found || c.code == row.code;
    EXPECT_TRUE(found) << Hex({row.code});
  }
  EXPECT_GE(covered, kCommandCatalogue.size());
}

TEST_F(SenderTest, BuildCommandFrameReportsTheLength) {
  int length = -1;
  const std::uint8_t* frame = BuildCommandFrame(engine, 0xFC, 0xDC, length);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(Hex(Bytes(frame, frame + length)), "FC 07 DC 00 00 1B 95");
  EXPECT_TRUE(link.Written().empty()) << "building alone sends nothing";
}

TEST_F(SenderTest, CodeOutsideTheCatalogueSendsNothing) {
  for (std::uint8_t code : std::initializer_list<std::uint8_t>{0x00, 0x12, 0x4B, 0xC8, 0xFF}) {
    SCOPED_TRACE(Hex({code}));
    ui.ClearCalls();
    engine.state.lastCommand = 0x11;
    int length = -1;
    ::testing::internal::CaptureStderr();
    BuildCommandFrame(engine, 0xFC, code, length);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "!!! Program Error-->No.:0001 !!!\n");
    EXPECT_EQ(length, 0);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(SendCommand(engine, code), 0);
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(link.Written().empty());
    EXPECT_TRUE(ui.Calls().empty()) << "no timer touched, nothing logged";
    EXPECT_EQ(engine.state.lastCommand, 0x11);
  }
}

// --- Log lines and bookkeeping -------------------------------------------------------------------

struct NameCase {
  const char* name;
  std::uint8_t code;
  std::function<void(Engine&)> setUp;
  std::string expectedLine;
};

TEST_F(SenderTest, LogNamesCarryProgressAndSeed) {
  const NameCase cases[] = {
      {"reset", 0x40, Nothing, "RESET COMMAND --->"},
      {"barcode inhibit set", 0xC7, Nothing, "BAR CODE INHIBIT SET --->"},
      {"download quarter", 0xD1,
       [](Engine& e) {
         e.state.downloadOffset = 50;
         e.state.downloadTotalSize = 200;
       },
       "Download Data (25%) --->"},
      {"download truncates", 0xD1,
       [](Engine& e) {
         e.state.downloadOffset = 199;
         e.state.downloadTotalSize = 200;
       },
       "Download Data (99%) --->"},
      {"download last packet", 0xD1,
       [](Engine& e) {
         e.state.downloadOffset = 1000;
         e.state.downloadTotalSize = 1000;
       },
       "Download Data (100%) --->"},
      {"download of no size", 0xD1, [](Engine& e) { e.state.downloadTotalSize = 0; },
       "Download Data (100%) --->"},
      {"download of a huge file", 0xD1,
       [](Engine& e) {
         e.state.downloadOffset = 50'000'000;
         e.state.downloadTotalSize = 100'000'000;
       },
       "Download Data (50%) --->"},
      {"program signature", 0xDC, Nothing, "Program Signature REQ.(0000) --->"},
  };
  for (const auto& c : cases) {
    FakeWindowServices caseUi;
    FakeSerialLink caseLink;
    caseLink.Open(1, 9600);
    Engine e{caseUi, caseLink, clock};
    e.state.displayMode = kDisplayTextLimited;
    c.setUp(e);
    ASSERT_EQ(SendCommand(e, c.code), 1) << c.name;
    EXPECT_EQ(caseUi.GetLogText(), c.expectedLine + "\r\n") << c.name;
  }
}

TEST_F(SenderTest, StatusRequestIsLoggedOnlyInFullDisplayOrManualPolling) {
  const struct {
    std::int32_t displayMode;
    std::int32_t pollingMode;
    std::string log;
  } cases[] = {
      {kDisplayBinaryFull, kPollingAuto, "STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n"},
      {kDisplayBinaryFull, kPollingManu, "STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n"},
      {kDisplayTextLimited, kPollingManu, "STATUS REQUEST --->\r\n"},
      {kDisplayTextLimited, kPollingAuto, ""},
  };
  for (const auto& c : cases) {
    FakeWindowServices caseUi;
    FakeSerialLink caseLink;
    caseLink.Open(1, 9600);
    Engine e{caseUi, caseLink, clock};
    e.state.displayMode = c.displayMode;
    e.state.pollingMode = c.pollingMode;
    ASSERT_EQ(SendCommand(e, 0x11), 1);
    EXPECT_EQ(caseUi.GetLogText(), c.log) << c.displayMode << " " << c.pollingMode;
    EXPECT_EQ(caseLink.Written().size(), 1u) << "the request goes out either way";
  }
}

TEST_F(SenderTest, SetCommandStoresTheTypedValueAndShowsTheSettings) {
  engine.commandValue = 0x0A0B;
  ASSERT_EQ(SendCommand(engine, 0xC5), 1);
  EXPECT_EQ(engine.state.functionSetting, 0x0A0B);
  EXPECT_EQ(ui.Field("Optional Funcs."), "0A 0B");
  EXPECT_EQ(ui.Field("Barcode Inhibit"), "FE");

  // Sent again from the store: the typed value is neither sent nor stored, nothing is shown.
  ui.ClearCalls();
  engine.state.reapplySettings = 1;
  engine.commandValue = 0x7777;
  ASSERT_EQ(SendCommand(engine, 0xC5), 1);
  EXPECT_EQ(Hex(link.Written().back()), Hex(MakeFrame(0xC5, {0x0A, 0x0B})));
  EXPECT_EQ(engine.state.functionSetting, 0x0A0B);
  EXPECT_TRUE(ui.CallsStartingWith("Field").empty());
}

TEST_F(SenderTest, PerCommandBookkeeping) {
  engine.state.displayMode = kDisplayTextLimited;
  engine.commandValue = 0x0102;
  ASSERT_EQ(SendCommand(engine, 0x46), 1);
  EXPECT_EQ(engine.commandValue, 0x3101u) << "the next dispense is primed";
  EXPECT_FALSE(ui.CallsStartingWith("Field Disable").empty()) << "settings shown";

  ui.ClearCalls();
  engine.state.machineNumber.Set("12345");
  ASSERT_EQ(SendCommand(engine, 0xCC), 1);
  EXPECT_EQ(ui.CallsStartingWith("Field Machine No."),
            std::vector<std::string>{"Field Machine No.: 12345"});

  // The signature request shows the settings before its line.
  ui.ClearCalls();
  ASSERT_EQ(SendCommand(engine, 0xDC), 1);
  const auto calls = ui.Calls();
  const auto field = std::find(calls.begin(), calls.end(), "Field Disable: 00 00");
  const auto line =
      std::find(calls.begin(), calls.end(), "Log: Program Signature REQ.(0000) --->\r\n");
  ASSERT_NE(field, calls.end());
  ASSERT_NE(line, calls.end());
  EXPECT_LT(field, line);
}

// --- Timers -------------------------------------------------------------------------------------

struct TimerCase {
  const char* name;
  std::uint8_t normalDownloadActive;
  std::uint8_t armResponseTimer;
  bool refuseWrite;
  int result;
  std::vector<std::string> timerCalls;
  std::uint8_t armAfter;
};

class SenderTimerTest : public SenderTest, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(SenderTimerTest, RearmsTheTimers) {
  const TimerCase& c = GetParam();
  EngineState& s = engine.state;
  s.polling_duration = 250;
  s.normalDownloadActive = c.normalDownloadActive;
  s.armResponseTimer = c.armResponseTimer;
  s.responseTimedOut = 1;
  link.RefuseWrites(c.refuseWrite);

  EXPECT_EQ(SendCommand(engine, 0x40), c.result);

  EXPECT_EQ(TimerCalls(), c.timerCalls);
  EXPECT_EQ(s.armResponseTimer, c.armAfter);
  if (c.armResponseTimer == 1 && c.armAfter == 0) {
    EXPECT_EQ(s.responseTimedOut, 0) << "a fresh deadline starts unexpired";
  }
  EXPECT_EQ(ui.CallsStartingWith("Log:").empty(), c.refuseWrite);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, SenderTimerTest,
    ::testing::Values(
        TimerCase{"polling_restarts", 0, 0, false, 1, {"StopTimer 2", "StartTimer 2 250"}, 0},
        TimerCase{"operator_command_gets_its_deadline", 0, 1, false, 1,
                  {"StopTimer 2", "StartTimer 2 250", "StartTimer 3 300"}, 0},
        TimerCase{"download_uses_the_watchdog", 1, 0, false, 1,
                  {"StopTimer 2", "StopTimer 3", "StartTimer 1 20000"}, 0},
        TimerCase{"download_leaves_the_arm_flag", 1, 1, false, 1,
                  {"StopTimer 2", "StopTimer 3", "StartTimer 1 20000"}, 1},
        TimerCase{"refused_write_keeps_polling", 0, 0, true, 0,
                  {"StopTimer 2", "StartTimer 2 250"}, 0},
        TimerCase{"refused_operator_command_still_times_out", 0, 1, true, 0,
                  {"StopTimer 2", "StartTimer 2 250", "StartTimer 3 300"}, 0}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// An answer arriving while a poll goes out makes the port refuse the write. Polling must survive
// that collision: the timer runs on and the next expiry queues the next request.
TEST_F(SenderTest, PollingSurvivesAWriteCollision) {
  ui.StartTimer(kPollingTimer, 200);
  link.Deliver({0xFC});  // a byte waiting in the receive queue refuses every write

  EXPECT_EQ(SendCommand(engine, 0x11), 0);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_TRUE(ui.IsRunning(kPollingTimer));

  ui.Fire(kPollingTimer);
  std::uint8_t code = 0;
  ASSERT_TRUE(PeekQueuedCommand(engine, code));
  EXPECT_EQ(code, 0x11);
}

}  // namespace
}  // namespace tarvik
