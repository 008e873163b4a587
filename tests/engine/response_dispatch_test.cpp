#include "engine/response_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dispatch_fixture.h"
#include "engine/command_sender.h"
#include "engine/response_table.h"
#include "support/text_count.h"

namespace tarvik {
namespace {

using testing::DispatchFixture;
using testing::MakeFrame;

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) { return {text.begin(), text.end()}; }
Bytes Repeat(std::size_t count, std::uint8_t byte) { return Bytes(count, byte); }
Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One response frame handled under given modes, and everything it should leave behind.
struct RowCase {
  std::string name;
  Bytes frame;
  std::string text;  // the receive line after "<--- "
  std::uint8_t step = kStepNone;
  std::int32_t stackMode = kStack1;
  std::uint8_t ackMode = kAckAuto;
  std::int32_t reapplyBefore = 1;
  std::vector<std::string> shown;  // fields and labels written
  int followUp = -1;
  int endFlag = 1;
  int stepAfter = -1;  // -1: unchanged
  std::int32_t reapplyAfter = 1;

  // clang-format off
  RowCase& InStep(std::uint8_t value) { step = value; return *this; }
  RowCase& Stack(std::int32_t value) { stackMode = value; return *this; }
  RowCase& Ack(std::uint8_t value) { ackMode = value; return *this; }
  RowCase& ReapplyBefore(std::int32_t value) { reapplyBefore = reapplyAfter = value; return *this; }
  RowCase& Shows(std::vector<std::string> value) { shown = std::move(value); return *this; }
  RowCase& Then(int code) { followUp = code; return *this; }
  RowCase& Open() { endFlag = 0; return *this; }
  RowCase& StepAfter(int value) { stepAfter = value; return *this; }
  RowCase& StopsReapply() { reapplyAfter = 0; return *this; }
  RowCase& Reapply(std::int32_t value) { reapplyAfter = value; return *this; }
  // clang-format on
};

void PrintTo(const RowCase& c, std::ostream* os) {
  *os << c.name << " [" << testing::Hex(c.frame) << "]";
}

RowCase Row(std::string name, Bytes frame, std::string text) {
  RowCase c;
  c.name = std::move(name);
  c.frame = std::move(frame);
  c.text = std::move(text);
  return c;
}
RowCase Illegal(std::string name, Bytes frame) {
  return Row(std::move(name), std::move(frame), "Illegal Response").StopsReapply();
}
RowCase LengthError(std::string name, Bytes frame, int required) {
  return Row(std::move(name), std::move(frame),
             "Message Length Error : This value must be " + std::to_string(required) + ".")
      .StopsReapply();
}

Bytes WithCrc(Bytes frame, std::uint8_t low, std::uint8_t high) {
  frame[frame.size() - 2] = low;
  frame[frame.size() - 1] = high;
  return frame;
}

// clang-format off
std::vector<RowCase> StatusCases() {
  return {
      Row("Enq", MakeFrame(0x05), "ENQ").Then(0x11),
      Row("Idling", MakeFrame(0x11), "IDLING").Shows({"Field Validator Status: Enable"}),
      Row("Accepting", MakeFrame(0x12), "ACCEPTING"),
      Row("Stacking", MakeFrame(0x14), "STACKING"),
      Row("Stacked", MakeFrame(0x16), "STACKED"),
      Row("Reject", MakeFrame(0x17, {0x71}), "REJECT 71"),
      Row("Return", MakeFrame(0x18), "RETURN"),
      Row("Holding", MakeFrame(0x19), "HOLDING"),
      Row("Inhibit", MakeFrame(0x1A), "INHIBIT").Shows({"Field Validator Status: Disable"}),
      Row("PowerUp", MakeFrame(0x40), "POWERUP"),
      Row("PowerUpBillInAcceptor", MakeFrame(0x41), "POWERUP with Bill in Acceptor"),
      Row("PowerUpBillInStacker", MakeFrame(0x42), "POWERUP with Bill in Stacker"),
      Row("StackerFull", MakeFrame(0x43), "Stacker Full"),
      Row("StackerOpen", MakeFrame(0x44), "Stacker Open"),
      Row("JamInAcceptor", MakeFrame(0x45), "Jam in Acceptor"),
      Row("JamInStacker", MakeFrame(0x46), "Jam in Stacker"),
      Row("Pause", MakeFrame(0x47), "Pause"),
      Row("Cheated", MakeFrame(0x48), "Cheated"),
      Row("Failure", MakeFrame(0x49, {0xA2}), "FAILURE A2")
          .Shows({"Field Validator Status: FAILURE-A2"}),
      // An error report interrupts an Auto Reset chain but leaves its step.
      Row("CommunicationErrorInChain", MakeFrame(0x4A), "Communication Error")
          .InStep(kStepReapplying).StopsReapply(),
      Row("InvalidCommandInChain", MakeFrame(0x4B), "Invalid Command")
          .InStep(kStepReapplying).StopsReapply(),

      // ESCROW: the note codes 0x61..0x7F get the stack mode's answer; the exchange decision
      // follows the stack mode alone.
      Row("Escrow63Manual", MakeFrame(0x13, {0x63}), "ESCROW 63").Stack(kStackManual),
      Row("Escrow63Stack1", MakeFrame(0x13, {0x63}), "ESCROW 63").Then(0x41).Open(),
      Row("Escrow63Stack2", MakeFrame(0x13, {0x63}), "ESCROW 63").Stack(kStack2).Then(0x42).Open(),
      Row("Escrow63Reject", MakeFrame(0x13, {0x63}), "ESCROW 63")
          .Stack(kStackReject).Then(0x43).Open(),
      Row("Escrow61Stack1", MakeFrame(0x13, {0x61}), "ESCROW 61").Then(0x41).Open(),
      Row("Escrow7FStack1", MakeFrame(0x13, {0x7F}), "ESCROW 7F").Then(0x41).Open(),
      Row("Escrow6FText", MakeFrame(0x13, Concat({0x6F}, Text("ABC"))), "ESCROW \"ABC\"")
          .Then(0x41).Open(),
      Row("Escrow6FTextReject", MakeFrame(0x13, Concat({0x6F}, Text("ABC"))), "ESCROW \"ABC\"")
          .Stack(kStackReject).Then(0x43).Open(),
      Row("Escrow6FNoText", MakeFrame(0x13, {0x6F}), "ESCROW \"\"").Then(0x41).Open(),
      Row("Escrow6FTextCutAt70", MakeFrame(0x13, Concat({0x6F}, Repeat(120, 'N'))),
          "ESCROW \"" + std::string(70, 'N') + "\"").Then(0x41).Open(),
      Row("Escrow6FTextLineBreakMasked", MakeFrame(0x13, Concat({0x6F}, Text("A\r\nB"))),
          "ESCROW \"A..B\"").Then(0x41).Open(),
      // A code no stack command answers: reported, and the exchange ends, as nothing is sent on.
      Row("Escrow20Stack1", MakeFrame(0x13, {0x20}), "ESCROW 20"),
      Row("Escrow60Stack1", MakeFrame(0x13, {0x60}), "ESCROW 60"),
      Row("Escrow80Stack1", MakeFrame(0x13, {0x80}), "ESCROW 80"),
      Row("Escrow05Manual", MakeFrame(0x13, {0x05}), "ESCROW 05").Stack(kStackManual),
      LengthError("EscrowWithoutCode", MakeFrame(0x13), 6),

      // VEND VALID ends the exchange: the validator does not answer the host's ACK to it.
      Row("VendValidAutoAck", MakeFrame(0x15), "VEND VALID").Then(0x50),
      Row("VendValidManuAck", MakeFrame(0x15), "VEND VALID").Ack(kAckManu),

      // INITIALIZE in every step: plain at rest, the settings chain after an acknowledged reset.
      Row("InitializeStep0", MakeFrame(0x1B), "INITIALIZE"),
      Illegal("InitializeStep1", MakeFrame(0x1B)).InStep(kStepDownloadStart),
      Illegal("InitializeStep2", MakeFrame(0x1B)).InStep(kStepAutoResetSent),
      Row("InitializeStep3", MakeFrame(0x1B), "INITIALIZE")
          .InStep(kStepAutoResetAcked).ReapplyBefore(0).Reapply(1)
          .Then(0xC0).Open().StepAfter(kStepReapplying),
      Illegal("InitializeStep4", MakeFrame(0x1B)).InStep(kStepReapplying),

      // ACK in every step.
      Row("AckStep0", MakeFrame(0x50), "ACK"),
      Row("AckStep1", MakeFrame(0x50), "ACK").InStep(kStepDownloadStart).Then(0x11).Open(),
      Row("AckStep2", MakeFrame(0x50), "ACK")
          .InStep(kStepAutoResetSent).Open().StepAfter(kStepAutoResetAcked),
      Illegal("AckStep3", MakeFrame(0x50)).InStep(kStepAutoResetAcked),
      Illegal("AckStep4", MakeFrame(0x50)).InStep(kStepReapplying),

      // Frames that fail their check or have no row.
      LengthError("StatusWithLng6", MakeFrame(0x11, {0x00}), 5),
      LengthError("RejectWithoutData", MakeFrame(0x17), 6),
      LengthError("StatusWithLng3", {0xFC, 0x03, 0x11}, 5),
      LengthError("VersionWithLng4", {0xFC, 0x04, 0x88, 0x00}, 5),
      Row("StatusWithBadCrc", WithCrc(MakeFrame(0x11), 0x00, 0x00),
          "CRC Error : This value must be \"27\" \"56\" .").StopsReapply(),
      Illegal("Code30", MakeFrame(0x30)),
      Illegal("Code04", MakeFrame(0x04)),
      Illegal("CodeE6", MakeFrame(0xE6)),
      Illegal("CodeFF", MakeFrame(0xFF, {1, 2, 3})),
      Illegal("AckInUnknownStep", MakeFrame(0x50)).InStep(9),
  };
}

std::vector<RowCase> EchoCases() {
  Bytes machineNumber = Text("MC-0001");
  machineNumber.resize(20, 0);
  Bytes shortNumber = Text("ABCDE");
  shortNumber.push_back(0);
  shortNumber.resize(20, 'Z');  // after the zero: not part of the number
  return {
      Row("HopperStatus", MakeFrame(0x21, {0x01, 0x02}), "Hopper Status 01,02"),
      Row("HopperStatusBadCrc", WithCrc(MakeFrame(0x21, {0x01, 0x02}), 0x12, 0x34),
          [] {
            const Bytes f = MakeFrame(0x21, {0x01, 0x02});
            char text[64];
            std::snprintf(text, sizeof text, "CRC Error : This value must be \"%02X\" \"%02X\" .",
                          f[5], f[6]);
            return std::string(text);
          }())
          .StopsReapply(),
      Row("HopperDispense", MakeFrame(0x24), "Hopper Dispense"),
      Row("HopperDispensed", MakeFrame(0x25), "Hopper DispenseD"),
      Row("HopperDispenseComplete", MakeFrame(0x26), "Hopper Dispense Complete"),
      Row("HopperDispenseAbort", MakeFrame(0x28), "Hopper Dispense Abort"),
      Row("HopperFailure", MakeFrame(0x2B, {0x05}), "Hopper FAILURE 05"),
      Row("HopperCurrency", MakeFrame(0x8D, {0x03}), "Hopper Currency 03"),
      Row("PeripheralBusy", MakeFrame(0x73), "MIREL Busy"),
      Row("PeripheralComplete", MakeFrame(0x74), "MIREL Complete").Then(0x50),

      Row("ViewDisable", MakeFrame(0x80, {0x12, 0x34}), "DISABLE 12,34")
          .Shows({"Field Disable: 12 34"}),
      Row("ViewSecurity", MakeFrame(0x81, {0x00, 0xFF}), "SECURITY 00,FF")
          .Shows({"Field Security: 00 FF"}),
      Row("ViewMode", MakeFrame(0x82, {0x01}), "Mode 01").Shows({"Field Comm. Mode: 01"}),
      Row("ViewInhibit", MakeFrame(0x83, {0xFC}), "INHIBIT FC").Shows({"Field Inhibit: FC"}),
      Row("ViewDirection", MakeFrame(0x84, {0x0F}), "DIRECTION 0F")
          .Shows({"Field Direction: 0F"}),
      Row("ViewFunction", MakeFrame(0x85, {0xAB, 0xCD}), "FUNCTION AB,CD")
          .Shows({"Field Optional Funcs.: AB CD"}),
      Row("ViewBarFunction", MakeFrame(0x86, {0x01, 0x12}), "Bar FUNCTION 01,12")
          .Shows({"Field Barcode Func.: 01 12"}),
      Row("ViewBarInhibit", MakeFrame(0x87, {0xFE}), "Bar Inhibit FE")
          .Shows({"Field Barcode Inhibit: FE"}),
      LengthError("ViewDisableOneByte", MakeFrame(0x80, {0x12}), 7),

      Row("SetDisableStep0", MakeFrame(0xC0, {0x12, 0x34}), "Set DISABLE 12,34")
          .Shows({"Field Disable: 12 34"}),
      Row("SetDisableStep4", MakeFrame(0xC0, {0x12, 0x34}), "Set DISABLE 12,34")
          .InStep(kStepReapplying).Shows({"Field Disable: 12 34"}).Then(0xC1).Open(),
      Row("SetSecurityStep0", MakeFrame(0xC1, {0x00, 0x01}), "Set SECURITY 00,01")
          .Shows({"Field Security: 00 01"}),
      Row("SetSecurityStep4", MakeFrame(0xC1, {0x00, 0x01}), "Set SECURITY 00,01")
          .InStep(kStepReapplying).Shows({"Field Security: 00 01"}).Then(0xC3).Open(),
      Row("SetInhibitStep4", MakeFrame(0xC3, {0x01}), "Set INHIBIT 01")
          .InStep(kStepReapplying).Shows({"Field Inhibit: 01"}).Then(0xC4).Open(),
      Row("SetDirectionStep4", MakeFrame(0xC4, {0x02}), "Set DIRECTION 02")
          .InStep(kStepReapplying).Shows({"Field Direction: 02"}).Then(0xC5).Open(),
      Row("SetFunctionStep0", MakeFrame(0xC5, {0x00, 0x03}), "Set FUNCTION 00,03")
          .Shows({"Field Optional Funcs.: 00 03"}),
      Row("SetFunctionStep4", MakeFrame(0xC5, {0x00, 0x03}), "Set FUNCTION 00,03")
          .InStep(kStepReapplying).Shows({"Field Optional Funcs.: 00 03"}).Then(0xC2).Open(),
      Row("SetModeNonZeroStopsPolling", MakeFrame(0xC2, {0x01}), "Set Mode 01")
          .InStep(kStepReapplying).StepAfter(kStepNone).StopsReapply()
          .Shows({"Label Polling Mode: [ MANU ]", "Field Comm. Mode: 01"}),
      Row("SetModeZeroKeepsPolling", MakeFrame(0xC2, {0x00}), "Set Mode 00")
          .InStep(kStepReapplying).StepAfter(kStepNone).StopsReapply()
          .Shows({"Field Comm. Mode: 00"}),
      Row("SetBarFunctionReapplying", MakeFrame(0xC6, {0x01, 0x12}), "Set Bar FUNCTION 01,12")
          .Shows({"Field Barcode Func.: 01 12"}).Then(0xC7).StopsReapply(),
      Row("SetBarFunction", MakeFrame(0xC6, {0x01, 0x12}), "Set Bar FUNCTION 01,12")
          .ReapplyBefore(0).Shows({"Field Barcode Func.: 01 12"}),
      Row("SetBarInhibit", MakeFrame(0xC7, {0xFE}), "Set Bar Inhibit FE")
          .Shows({"Field Barcode Inhibit: FE"}),
      Row("SetCurrency", MakeFrame(0xCA, {0x02}), "Set Currency 02"),
      // In step 4 a wrong echo still ends the chain.
      LengthError("SetInhibitTwoBytesStep4", MakeFrame(0xC3, {0x01, 0x02}), 6)
          .InStep(kStepReapplying),

      Row("Version", MakeFrame(0x88, Text("V1.23 2024")), "Ver.:V1.23 2024")
          .Shows({"Field Version: V1.23 2024"}),
      Row("VersionEndsAtZero", MakeFrame(0x88, Concat(Text("V2"), {0, 'X'})), "Ver.:V2")
          .Shows({"Field Version: V2"}),
      Row("VersionCutAt122", MakeFrame(0x88, Repeat(200, 'v')), "Ver.:" + std::string(122, 'v'))
          .Shows({"Field Version: " + std::string(122, 'v')}),
      Row("VersionUnprintableMasked", MakeFrame(0x88, {'V', '\n', 0x01, '3'}), "Ver.:V..3")
          .Shows({"Field Version: V..3"}),
      Row("VersionEmpty", MakeFrame(0x88), "Ver.:").Shows({"Field Version: "}),
      Row("BootVersion", MakeFrame(0x89, Text("B-07")), "Boot ROM Ver.:B-07")
          .Shows({"Field Boot ROM Version: B-07"}),
      Row("BootVersionCutAt35", MakeFrame(0x89, Repeat(60, 'b')),
          "Boot ROM Ver.:" + std::string(35, 'b'))
          .Shows({"Field Boot ROM Version: " + std::string(35, 'b')}),
      Row("Currency", MakeFrame(0x8A, {0x01, 0x4A, 0x50, 0x59, 0x02, 0x0A, 0x0B, 0x0C}),
          "Currency : 01=4A5059; 02=0A0B0C; "),
      Row("CurrencyIncompleteEntry", MakeFrame(0x8A, {0x01, 0x4A, 0x50, 0x59, 0x02, 0x0A}),
          "Currency : 01=4A5059; 02=0A; "),
      Row("AcceptRate", MakeFrame(0x8B, Repeat(60, 0x11)), "Accept Rate Response"),
      Row("MachineNumber", MakeFrame(0x8C, machineNumber), "M/C No.:MC-0001")
          .StopsReapply().Shows({"Field Machine No.: MC-0001"}),
      Row("MachineNumberZeroAtData5", MakeFrame(0x8C, shortNumber), "M/C No.:ABCDE")
          .StopsReapply().Shows({"Field Machine No.: ABCDE"}),
      Row("MachineNumberSetEcho", MakeFrame(0xCC, machineNumber), "M/C No.:MC-0001")
          .StopsReapply().Shows({"Field Machine No.: MC-0001"}),
      LengthError("MachineNumberShort", MakeFrame(0x8C, Text("MC")), 25),
      Row("InitTimeDate", MakeFrame(0xCB, Text("240203090507")),
          "INIT Time,Date 240203 090507"),
      Row("SecretNumber", MakeFrame(0x8F, {0x01, 0x02, 0x03}), "Secret No. 01,02,03"),
      Row("SignatureBusy", MakeFrame(0xDE), "Program Signature Busy"),
      Row("Signature", MakeFrame(0xDF, {0x01, 0x23}), "Program Signature : V0123, MBEEF")
          .Then(0x50),
      LengthError("SignatureWithoutVersion", MakeFrame(0xDF, {0x01}), 7),
  };
}

// clang-format on

class ResponseRowTest : public DispatchFixture, public ::testing::TestWithParam<RowCase> {};

TEST_P(ResponseRowTest, LogsShowsFollowsUpAndDecidesTheExchange) {
  const RowCase& c = GetParam();
  EngineState& s = engine.state;
  s.transactionStep = c.step;
  s.stackMode = c.stackMode;
  s.ackMode = c.ackMode;
  s.reapplySettings = c.reapplyBefore;
  engine.download.targetFileCrc = 0xBEEF;

  EXPECT_EQ(Receive(c.frame), c.endFlag);

  EXPECT_EQ(ArrowTexts(), std::vector<std::string>{c.text});
  EXPECT_EQ(Shown(), c.shown);
  EXPECT_EQ(FollowUp(), c.followUp);
  EXPECT_EQ(s.transactionStep, c.stepAfter < 0 ? c.step : c.stepAfter);
  EXPECT_EQ(s.reapplySettings, c.reapplyAfter);
  EXPECT_EQ(link.Queued(), 0U);
}

std::string CaseName(const ::testing::TestParamInfo<RowCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Statuses, ResponseRowTest, ::testing::ValuesIn(StatusCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(EchoesAndData, ResponseRowTest, ::testing::ValuesIn(EchoCases()),
                         CaseName);

// Invariants the dispatcher relies on: one expected length per code, no step in two rows of a
// code, and placeholders that a frame of the row's length can fill.
TEST(ResponseTableTest, RowsAreConsistent) {
  std::map<int, std::vector<const ResponseRow*>> byCode;
  for (const auto group : {StatusResponseRows(), EchoResponseRows(), AcceptanceResponseRows(),
                           DownloadResponseRows()}) {
    for (const ResponseRow& row : group) byCode[row.code].push_back(&row);
  }
  for (const auto& [code, rows] : byCode) {
    SCOPED_TRACE(code);
    EXPECT_GE(code, 0x05);
    EXPECT_LE(code, 0xE5);
    EXPECT_EQ(Responses().RowsOf(static_cast<std::uint8_t>(code)).size(), rows.size());
    StepSet covered = 0;
    for (const ResponseRow* row : rows) {
      EXPECT_NE(row->handler, nullptr);
      EXPECT_EQ(row->length, rows.front()->length);
      EXPECT_EQ(covered & row->steps, 0U) << "a step matches two rows";
      covered |= row->steps;
      const std::size_t placeholders = testing::Count(row->text, "%02X");
      const int shortest = row->length == kOwnLength ? row->minLength : row->length;
      EXPECT_LE(static_cast<int>(placeholders), shortest - kMinFrameLength);
      if (row->field) {
        EXPECT_TRUE(row->length == 6 || row->length == 7);
      }
    }
    // A code that depends on the step answers in every step an exchange can be in.
    if (covered != kAnyStep) {
      EXPECT_EQ(covered & InSteps(0, 1, 2, 3, 4), InSteps(0, 1, 2, 3, 4));
    }
  }
}

class DispatchTest : public DispatchFixture, public ::testing::Test {};

TEST_F(DispatchTest, FramesWaitingBehindAnOpenExchangeAreTakenInTheSameCall) {
  engine.state.stackMode = kStack2;
  link.Deliver(MakeFrame(0x13, {0x63}));
  EXPECT_EQ(Receive(MakeFrame(0x50)), 1);
  EXPECT_EQ(ArrowTexts(), (std::vector<std::string>{"ESCROW 63", "ACK"}));
  EXPECT_EQ(FollowUp(), 0x42);
}

TEST_F(DispatchTest, AFrameThatEndsTheExchangeLeavesTheNextForTheNextCall) {
  link.Deliver(MakeFrame(0x11));
  EXPECT_EQ(Receive(MakeFrame(0x12)), 1);
  EXPECT_EQ(ArrowTexts(), std::vector<std::string>{"IDLING"});
  EXPECT_EQ(ReceiveAndDispatch(engine), 1);
  EXPECT_EQ(ArrowTexts(), (std::vector<std::string>{"IDLING", "ACCEPTING"}));
  EXPECT_EQ(ReceiveAndDispatch(engine), 0);  // idle line
}

// A validator flooding the line with frames that keep the exchange open cannot hold the worker
// in one call: the rest waits for the next pass.
TEST_F(DispatchTest, OneCallTakesABoundedNumberOfFrames) {
  const Bytes escrow = MakeFrame(0x13, {0x63});
  for (int i = 0; i < 20; ++i) link.Deliver(escrow);
  EXPECT_EQ(ReceiveAndDispatch(engine), 0);
  const std::size_t taken = ArrowTexts().size();
  EXPECT_GT(taken, 1U);
  EXPECT_LT(taken, 20U);
  EXPECT_EQ(link.Queued(), (20 - taken) * escrow.size());
}

// Every code with data of many lengths, in every step and stack mode: one line per frame, built
// from this frame's bytes only (the rest of the receive buffer holds a sentinel it must not show).
TEST_F(DispatchTest, AnyFrameGetsOneLineFromItsOwnBytes) {
  constexpr std::uint8_t kSentinel = 0x7E;  // '~'; the data bytes are all 'a' (61)
  const std::size_t lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 20, 60, 61, 120, 250};
  EngineState& s = engine.state;
  for (int code = 0; code < 256; ++code) {
    for (const std::size_t n : lengths) {
      for (std::uint8_t step = 0; step <= kStepReapplying; ++step) {
        s.transactionStep = step;
        s.stackMode = step % 4;
        s.pollingMode = kPollingAuto;
        s.commandQueued = 0;
        engine.rxFrame.fill(kSentinel);
        ui.ClearCalls();
        const std::int32_t flag =
            Receive(MakeFrame(static_cast<std::uint8_t>(code), Repeat(n, 'a')));
        const auto lines = ArrowTexts();
        // The ends of the acceptance and Ad data transfers log their checksum and save too.
        const std::size_t most = code == 0xE2 || code == 0xE5 ? 4 : 1;
        ASSERT_GE(lines.size(), 1U) << "code " << code << " length " << n << " step " << int(step);
        ASSERT_LE(lines.size(), most)
            << "code " << code << " length " << n << " step " << int(step);
        for (const std::string& line : lines) {
          EXPECT_EQ(line.find_first_of("~"), std::string::npos) << line;
          EXPECT_EQ(line.find("7E"), std::string::npos) << line;
        }
        EXPECT_TRUE(flag == 0 || flag == 1);
        ASSERT_EQ(link.Queued(), 0U);
      }
    }
  }
}

// The currency line shows only this frame's bytes, whatever an earlier, longer frame left in
// the receive buffer.
TEST_F(DispatchTest, CurrencyIgnoresBytesLeftByEarlierFrames) {
  Receive(MakeFrame(0x88, Repeat(40, 'Q')));
  Receive(MakeFrame(0x8A, {0x01, 0x4A, 0x50, 0x59, 0x02, 0x0A}));
  EXPECT_EQ(ArrowTexts().back(), "Currency : 01=4A5059; 02=0A; ");
}

TEST_F(DispatchTest, ManyCurrencyEntriesShowTheFirstTwenty) {
  Bytes data;
  for (int k = 0; k < 25; ++k) data.insert(data.end(), {static_cast<std::uint8_t>(k), 1, 2, 3});
  Receive(MakeFrame(0x8A, data));
  const std::string line = ArrowTexts().at(0);
  EXPECT_NE(line.find("13=010203; "), std::string::npos);  // entry 19
  EXPECT_EQ(line.find("14=010203; "), std::string::npos);  // entry 20
}

TEST_F(DispatchTest, VersionFieldIsShownBeforeTheLine) {
  Receive(MakeFrame(0x88, Text("V9")));
  const auto calls = ui.Calls();
  const auto field = std::find(calls.begin(), calls.end(), "Field Version: V9");
  ASSERT_NE(field, calls.end());
  EXPECT_TRUE(std::any_of(field, calls.end(), [](const std::string& call) {
    return call.find("Ver.:V9") != std::string::npos;
  }));
}

TEST_F(DispatchTest, MachineNumberIsStored) {
  Bytes number = Text("NO-42");
  number.resize(20, 0);
  Receive(MakeFrame(0xCC, number));
  EXPECT_EQ(engine.state.machineNumber.Text(), "NO-42");
}

TEST_F(DispatchTest, InitializeAfterResetPausesBeforeTheSettings) {
  engine.state.transactionStep = kStepAutoResetAcked;
  clock.onPause = [this](int) { EXPECT_EQ(FollowUp(), -1) << "settings queued before the pause"; };
  Receive(MakeFrame(0x1B));
  EXPECT_EQ(clock.pausedMs, 100);
  EXPECT_EQ(FollowUp(), 0xC0);
}

// Auto Reset end to end against a validator that acknowledges the reset, reports a status while
// it restarts, reports INITIALIZE and then echoes every setting command it gets.
TEST_F(DispatchTest, AutoResetSendsTheStoredSettingsInChainOrder) {
  EngineState& s = engine.state;
  s.disableSetting = 0x1234;
  s.securitySetting = 0x0001;
  s.inhibitSetting = 0x02;
  s.directionSetting = 0x03;
  s.functionSetting = 0x0405;
  s.commModeSetting = 0x00;
  // What the operator's "Auto Reset ( R )" leaves behind once the reset has gone out.
  s.transactionStep = kStepAutoResetSent;
  s.reapplySettings = 1;

  EXPECT_EQ(Receive(MakeFrame(0x50)), 0);
  EXPECT_EQ(s.transactionStep, kStepAutoResetAcked);
  EXPECT_EQ(Receive(MakeFrame(0x11)), 1);  // a poll while the validator restarts
  EXPECT_EQ(s.transactionStep, kStepAutoResetAcked);
  EXPECT_EQ(Receive(MakeFrame(0x1B)), 0);
  EXPECT_EQ(s.transactionStep, kStepReapplying);

  std::vector<Bytes> sent;
  std::int32_t ended = 0;
  for (int round = 0; round < 10 && ended == 0; ++round) {
    std::uint8_t code = 0;
    ASSERT_TRUE(PeekQueuedCommand(engine, code)) << "the chain stopped after " << sent.size();
    s.commandQueued = 0;
    link.ClearWritten();
    ASSERT_EQ(SendCommand(engine, code), 1);
    const Bytes frame = link.Written().at(0);
    sent.push_back(frame);
    // The echo: the command's code and data, as a validator frame.
    ended = Receive(MakeFrame(frame[2], Bytes(frame.begin() + 3, frame.end() - 2)));
  }

  const std::vector<Bytes> expected = {
      MakeFrame(0xC0, {0x12, 0x34}), MakeFrame(0xC1, {0x00, 0x01}), MakeFrame(0xC3, {0x02}),
      MakeFrame(0xC4, {0x03}),       MakeFrame(0xC5, {0x04, 0x05}), MakeFrame(0xC2, {0x00}),
  };
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(s.transactionStep, kStepNone);
  EXPECT_EQ(s.reapplySettings, 0);
  EXPECT_EQ(FollowUp(), -1);
  EXPECT_EQ(s.pollingMode, kPollingAuto);  // communication mode 00 keeps polling
}

// A bar-code function setting sent again from the store (after an Auto Reset or a Test-mode
// reset) is followed by the bar-code inhibit setting. That follow-up goes out after the store mode
// has ended, yet it must carry the stored bar-code inhibit, not whatever value the previous frame
// left behind, and must leave the store as it was.
TEST_F(DispatchTest, BarcodeInhibitFollowingAReappliedBarcodeFunctionCarriesTheStoredValue) {
  EngineState& s = engine.state;
  s.reapplySettings = 1;
  s.barcodeFunctionSetting = 0x0112;
  s.barcodeInhibitSetting = 0xFE;
  engine.commandValue = 0x0034;  // an earlier entry in a value box

  ASSERT_EQ(SendCommand(engine, 0xC6), 1);
  ASSERT_EQ(link.Written().back(), MakeFrame(0xC6, {0x01, 0x12}));
  EXPECT_EQ(Receive(MakeFrame(0xC6, {0x01, 0x12})), 1);
  ASSERT_EQ(FollowUp(), 0xC7);
  EXPECT_EQ(s.reapplySettings, 0);

  s.commandQueued = 0;
  ASSERT_EQ(SendCommand(engine, 0xC7), 1);
  EXPECT_EQ(link.Written().back(), MakeFrame(0xC7, {0xFE}));
  EXPECT_EQ(s.barcodeInhibitSetting, 0xFE);
  EXPECT_EQ(s.barcodeFunctionSetting, 0x0112);
}

}  // namespace
}  // namespace tarvik
