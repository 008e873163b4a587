// End-to-end: the built tarvik-host on the console against the virtual validator, which runs in
// this process on a pseudo-terminal. The test plays the operator and asserts on the
// communication log (standard output) and on the window effects (standard error).
#include "e2e/host_run_fixture.h"

namespace {

using namespace tarvik::e2e;

// ---- A note through the stack modes ----------------------------------------------------------

struct NoteCase {
  const char* name;
  const char* modeKeys;   // 'L' presses: Stack1 → Stack2 → Reject → Manual
  const char* modeLabel;  // the Stack Mode label they leave; empty when none is pressed
  // The operator's key once the note has been reported in escrow a few times; empty when the
  // host answers the escrow itself.
  const char* operatorKey;
  std::vector<std::string> afterEscrow;  // what the log shows next, in this order
  std::vector<std::string> never;        // commands that must not be sent at all
};

void PrintTo(const NoteCase& c, std::ostream* os) { *os << c.name; }

const std::string kEscrow61 = Received("ESCROW 61", "FC 06 13 61 B0 FB");
const std::string kStack1 = Sent("Stack 1", "FC 05 41 A2 04");
const std::string kStack2 = Sent("Stack 2", "FC 05 42 39 36");
const std::string kReturn = Sent("RETURN", "FC 05 43 B0 27");
const std::vector<std::string> kStackCycle = {
    kStack1,
    Received("ACK", "FC 05 50 AA 05"),
    Received("VEND VALID", "FC 05 15 03 10"),
    Sent("Ack", "FC 05 50 AA 05"),
    Received("STACKED", "FC 05 16 98 22"),
};

const NoteCase kNoteCases[] = {
    {"Stack1StacksAtOnce", "", "", "", kStackCycle, {kStack2, kReturn}},
    {"ManualWaitsForTheOperator", "LLL", "[Manual]", "A", kStackCycle, {kStack2, kReturn}},
    {"RejectReturnsTheNote",
     "LL",
     "[ Reject ]",
     "",
     {kReturn, Received("ACK", "FC 05 50 AA 05"), Received("RETURN", "FC 05 18 E6 CB"),
      ReceivedText("IDLING")},
     {kStack1, kStack2}},
};

class NoteTest : public HostRunTest, public ::testing::WithParamInterface<NoteCase> {};

TEST_P(NoteTest, EscrowIsAnsweredAsTheStackModeSays) {
  const NoteCase& c = GetParam();
  ASSERT_TRUE(StartBoth());
  host_.Type(c.modeKeys);
  if (*c.modeLabel != '\0') {
    ASSERT_TRUE(WaitForErr(std::string("LABEL Stack Mode: ") + c.modeLabel + "\n"));
  }
  ResetValidator();
  if (HasFatalFailure()) return;
  const auto insert = validator_.Command("insert 61");
  ASSERT_TRUE(insert.ok) << insert.text;
  ASSERT_TRUE(WaitForLog(kEscrow61));
  const std::size_t escrowAt = host_.Out().find(kEscrow61);

  if (*c.operatorKey != '\0') {
    // The note stays in escrow, reported on every poll, and the host sends nothing for it.
    ASSERT_TRUE(WaitForLog(kEscrow61, 3));
    for (const std::string& command : {kStack1, kStack2, kReturn}) {
      EXPECT_EQ(host_.Out().find(command), std::string::npos) << "sent unasked:\n" << command;
    }
    host_.Type(c.operatorKey);
  }
  ASSERT_TRUE(WaitForLog(c.afterEscrow.back(), 1, escrowAt));
  EXPECT_TRUE(InOrder(host_.Out(), c.afterEscrow, escrowAt));
  if (*c.operatorKey == '\0') {
    // An automatic mode answers the first escrow report in the same exchange.
    EXPECT_EQ(Count(host_.Out(), kEscrow61), 1u);
  }
  ExpectCleanExit();
  for (const std::string& command : c.never) {
    EXPECT_EQ(host_.Out().find(command), std::string::npos) << "sent:\n" << command;
  }
}

INSTANTIATE_TEST_SUITE_P(HostValidator, NoteTest, ::testing::ValuesIn(kNoteCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- Auto Reset ------------------------------------------------------------------------------

TEST_F(HostRunTest, AutoResetSendsTheStoredSettingsAgainInOrder) {
  struct Setting {
    const char* box;
    char key;
    const char* value;
    const char* typedLater;  // entered after the set, never sent: the chain must not carry it
    std::string sent;
    std::string echo;
  };
  const Setting settings[] = {
      {"disable", 'd', "1234", "5678", Sent("DISABLE SET", "FC 07 C0 12 34 AB 64"),
       Received("Set DISABLE 12,34", "FC 07 C0 12 34 AB 64")},
      {"security", 'e', "ABCD", "1111", Sent("SECURITY SET", "FC 07 C1 AB CD 4F B9"),
       Received("Set SECURITY AB,CD", "FC 07 C1 AB CD 4F B9")},
      {"inhibit", 'i', "02", "03", Sent("INHIBIT SET", "FC 06 C3 02 16 F5"),
       Received("Set INHIBIT 02", "FC 06 C3 02 16 F5")},
      {"direction", 't', "01", "0F", Sent("DIRECTION SET", "FC 06 C4 01 85 8A"),
       Received("Set DIRECTION 01", "FC 06 C4 01 85 8A")},
      {"function", 'u', "A5", "BEEF", Sent("FUNCTION SET", "FC 07 C5 00 A5 37 7E"),
       Received("Set FUNCTION 00,A5", "FC 07 C5 00 A5 37 7E")},
      // A mode other than 0 would switch polling to MANU, and Auto Reset needs the polls.
      {"mode", 'm', "00", "01", Sent("MODE SET", "FC 06 C2 00 DC CF"),
       Received("Set Mode 00", "FC 06 C2 00 DC CF")},
  };
  ASSERT_TRUE(StartBoth());
  for (const Setting& s : settings) {
    host_.Type(std::string(":value ") + s.box + " " + s.value + "\n" + s.key + "\n");
    ASSERT_TRUE(WaitForLog(s.echo));
  }
  for (const Setting& s : settings) {
    host_.Type(std::string(":value ") + s.box + " " + s.typedLater + "\n");
  }

  const std::size_t from = host_.Out().size();
  host_.Type("R");
  ASSERT_TRUE(WaitForLog(settings[5].echo, 1, from));
  std::vector<std::string> expected = {
      Sent("RESET COMMAND", "FC 05 40 2B 15"),
      Received("ACK", kAckFrame),
      Received("INITIALIZE", "FC 05 1B 7D F9"),
  };
  for (const Setting& s : settings) {
    expected.push_back(s.sent);
    expected.push_back(s.echo);
  }
  EXPECT_TRUE(InOrder(host_.Out(), expected, from));
  // Each set command once, and none carrying a value typed but never sent.
  for (const Setting& s : settings) EXPECT_EQ(Count(host_.Out(), s.sent, from), 1u) << s.box;
  ExpectCleanExit();
}

// ---- Data responses and Invalid Command --------------------------------------------------------

TEST_F(HostRunTest, VersionAndMachineNumberFillTheirFields) {
  struct Case {
    char key;
    std::string logLine;  // the received text line
    std::string field;    // the field line on standard error
  };
  const std::string version(tarvik::validator::kVersionText);
  // The validator sends its number as 20 characters, blank-padded.
  std::string padded(tarvik::validator::kInitialMachineNumber);
  padded.resize(20, ' ');
  const Case cases[] = {
      {'V', ReceivedText("Ver.:" + version), "FIELD Version: " + version + "\n"},
      {'N', ReceivedText("M/C No.:" + padded), "FIELD Machine No.: " + padded + "\n"},
  };
  ASSERT_TRUE(StartBoth());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    host_.Type(std::string(1, c.key));
    EXPECT_TRUE(WaitForLog(c.logLine));
    EXPECT_TRUE(WaitForErr(c.field));
  }
  ExpectCleanExit();
}

TEST_F(HostRunTest, ACommandTheValidatorLacksIsAnsweredByInvalidCommand) {
  const std::string request = Sent("Secrete No. Request", "FC 05 8F D0 2B");
  ASSERT_TRUE(StartBoth());
  // Known first: the secret number comes back.
  host_.Type("3");
  ASSERT_TRUE(WaitForLog(Received("Secret No. 12,34,56", "FC 08 8F 12 34 56 BC E2")));

  const auto unsupported = validator_.Command("unsupported 8F");
  ASSERT_TRUE(unsupported.ok) << unsupported.text;
  const std::size_t from = host_.Out().size();
  host_.Type("3");
  ASSERT_TRUE(WaitForLog(ReceivedText("Invalid Command"), 1, from));
  EXPECT_TRUE(InOrder(host_.Out(), {request, Received("Invalid Command", "FC 05 4B F8 AB")}, from));
  ExpectCleanExit();
}

// ---- No exchange left open ---------------------------------------------------------------------

// What the worker logs when it has to end an exchange that nothing else would have ended.
constexpr std::string_view kStuckExchangeLine = "Exchange ended: no answer for";

// The operator's poll answered by an escrow code no stack command answers: the host reports it,
// ends the exchange, takes the next key, goes on polling and exits at the end of input.
TEST_F(HostRunTest, AnEscrowCodeWithoutAStackCommandEndsTheOperatorsExchange) {
  ASSERT_TRUE(StartBoth());
  ResetValidator();
  const auto inserted = validator_.Command("insert 20");
  ASSERT_TRUE(inserted.ok) << inserted.text;
  const std::string escrow = Received("ESCROW 20", "FC 06 13 20 3D A8");
  ASSERT_TRUE(WaitForLog(escrow));

  const std::size_t from = host_.Out().size();
  host_.Type("S");
  host_.Type("V");
  const std::string version = ReceivedText("Ver.:" + std::string(tarvik::validator::kVersionText));
  ASSERT_TRUE(WaitForLog(version, 1, from));
  EXPECT_TRUE(
      InOrder(host_.Out(), {escrow, Sent("Version Request", "FC 05 88 6F 5F"), version}, from));
  const std::size_t afterVersion = host_.Out().size();
  EXPECT_TRUE(WaitForLog(escrow, 2, afterVersion)) << "polling did not go on";
  ExpectCleanExit();
  // Ended by the escrow itself, not by the worker's last-resort watch.
  EXPECT_EQ(Count(host_.Out(), kStuckExchangeLine), 0u);
}

// Auto Reset whose first stored setting is never answered: the setting's response deadline ends
// the chain, polling resumes, and the next key is taken.
TEST_F(HostRunTest, AnAutoResetChainCutShortBySilenceTimesOutAndPollingResumes) {
  ASSERT_TRUE(StartBoth(1000));
  ResetValidator();
  const auto silenced = validator_.Command("silent C0");
  ASSERT_TRUE(silenced.ok) << silenced.text;

  const std::size_t from = host_.Out().size();
  host_.Type("R");
  const std::string timeout = ReceivedText("300msec Timeout Error for Response.");
  ASSERT_TRUE(WaitForLog(timeout, 1, from));
  EXPECT_TRUE(InOrder(host_.Out(),
                      {Sent("RESET COMMAND", "FC 05 40 2B 15"), Received("ACK", kAckFrame),
                       Received("INITIALIZE", "FC 05 1B 7D F9"),
                       Sent("DISABLE SET", "FC 07 C0 00 00 2D B5"), timeout},
                      from));
  const std::size_t afterTimeout = host_.Out().find(timeout, from) + timeout.size();
  EXPECT_TRUE(WaitForLog(ReceivedText("IDLING"), 1, afterTimeout)) << "polling did not resume";
  host_.Type("V");
  EXPECT_TRUE(WaitForLog(ReceivedText("Ver.:" + std::string(tarvik::validator::kVersionText)), 1,
                         afterTimeout));
  ExpectCleanExit();
  EXPECT_EQ(Count(host_.Out(), kStuckExchangeLine), 0u);
}

// ---- The demo --------------------------------------------------------------------------------

// A newcomer's first run: no settings file, nothing typed, and a whole note cycle passes within
// ten seconds.
TEST_F(HostRunTest, DemoShowsANoteCycleUntouched) {
  std::filesystem::remove(settings_);
  const auto started = SteadyClock::now();
  ASSERT_TRUE(StartHost({"--demo"}));
  ASSERT_TRUE(WaitForLog(ReceivedText("STACKED")));
  EXPECT_LT(SteadyClock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(InOrder(host_.Out(), {ReceivedText("IDLING"), ReceivedText("ESCROW 61"),
                                    Sent("Stack 1", "FC 05 41 A2 04"), ReceivedText("VEND VALID"),
                                    Sent("Ack", "FC 05 50 AA 05"), ReceivedText("STACKED")}));
  EXPECT_EQ(Count(host_.Out(), ReceivedText("POWERUP")), 0u);
  ExpectCleanExit();
}

}  // namespace
