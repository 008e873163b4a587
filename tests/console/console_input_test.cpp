#include "ui/console/console_input.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/comm_log.h"
#include "engine/port_control.h"
#include "support/fake_window_services.h"
#include "ui/console/console_operator.h"

namespace tarvik::console {
namespace {

using tarvik::testing::FakeClock;
using tarvik::testing::FakeSerialLink;
using tarvik::testing::FakeWindowServices;

InputEvent Key(char c) { return {InputKind::Key, c, {}}; }
InputEvent Up() { return {InputKind::DisplayMode, 0, {}}; }
InputEvent Command(std::string text) { return {InputKind::Command, 0, std::move(text)}; }
InputEvent Echo(std::string text) { return {InputKind::Echo, 0, std::move(text)}; }

std::string Describe(const InputEvent& e) {
  switch (e.kind) {
    case InputKind::Key:
      return "Key " + std::to_string(static_cast<unsigned char>(e.key));
    case InputKind::DisplayMode:
      return "Up";
    case InputKind::Command:
      return "Command '" + e.text + "'";
    case InputKind::CommandTooLong:
      return "TooLong";
    case InputKind::Echo:
      return "Echo '" + e.text + "'";
    case InputKind::EndOfInput:
      return "End";
  }
  return "?";
}

std::vector<std::string> Describe(const std::vector<InputEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(Describe(e));
  return out;
}

struct ParseCase {
  const char* name;
  bool terminal;
  std::vector<std::string> chunks;  // fed one by one, then the input ends
  std::vector<InputEvent> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class InputParserTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(InputParserTest, TurnsBytesIntoEvents) {
  const ParseCase& c = GetParam();
  InputParser parser(c.terminal);
  std::vector<InputEvent> events;
  for (const auto& chunk : c.chunks) parser.Feed(chunk, events);
  parser.Finish(events);
  EXPECT_EQ(Describe(events), Describe(c.expected));
}

const std::string kLongLine = ":" + std::string(kMaxCommandLine + 10, 'a') + "\n";

INSTANTIATE_TEST_SUITE_P(
    Streams, InputParserTest,
    ::testing::Values(
        ParseCase{"KeysAndLineEnds", false, {"S\r\nA\n\n"}, {Key('S'), Key('A')}},
        ParseCase{"UpArrowIsDisplayMode", false, {"\x1b[A\x1bOA"}, {Up(), Up()}},
        ParseCase{"OtherArrowsAndKeysConsumed", false, {"\x1b[B\x1b[C\x1b[D\x1b[1;5A\x1b[3~"}, {}},
        ParseCase{"LoneEscapeThenKey", false, {"\x1bS"}, {Key('S')}},
        ParseCase{"SplitSequence", false, {"\x1b", "[", "A", "B"}, {Up(), Key('B')}},
        ParseCase{"CommandLine",
                  false,
                  {":value disable 12\nd"},
                  {Command("value disable 12"), Key('d')}},
        ParseCase{"SplitCommandLine", false, {":val", "ue x 1\r", "\n"}, {Command("value x 1")}},
        // Only a line that begins with ':' is a command; elsewhere the colon is a key.
        ParseCase{"ColonInsideALineIsAKey",
                  false,
                  {"S:quit\n"},
                  {Key('S'), Key(':'), Key('q'), Key('u'), Key('i'), Key('t')}},
        ParseCase{"LastCommandWithoutLineEnd", false, {"A\n:quit"}, {Key('A'), Command("quit")}},
        ParseCase{"CommandKeepsEscapesFromAPipe",
                  false,
                  {":value machine \x1b[A\n"},
                  {Command("value machine \x1b[A")}},
        ParseCase{"TooLongCommandDropped",
                  false,
                  {kLongLine, "S"},
                  {{InputKind::CommandTooLong, 0, {}}, Key('S')}},
        ParseCase{"BinaryBytesAreKeys",
                  false,
                  {std::string("\0\xffS", 3)},
                  {Key('\0'), Key('\xff'), Key('S')}},
        ParseCase{"PipeCtrlDIsAKey", false, {"\x04"}, {Key('\x04')}},
        ParseCase{"TerminalCommandEchoed",
                  true,
                  {"a:wait 5\r"},
                  {Key('a'), Echo(":"), Echo("w"), Echo("a"), Echo("i"), Echo("t"), Echo(" "),
                   Echo("5"), Echo("\n"), Command("wait 5")}},
        // Backspace edits the line; erasing the colon leaves it.
        ParseCase{"TerminalBackspace",
                  true,
                  {":ab\x7f\x7f\x7fS"},
                  {Echo(":"), Echo("a"), Echo("b"), Echo("\b \b"), Echo("\b \b"), Echo("\b \b"),
                   Key('S')}},
        ParseCase{"TerminalUpInsideCommandIgnored",
                  true,
                  {":q\x1b[Au\n"},
                  {Echo(":"), Echo("q"), Echo("u"), Echo("\n"), Command("qu")}},
        ParseCase{
            "TerminalCtrlDEnds", true, {"S\x04"}, {Key('S'), {InputKind::EndOfInput, 0, {}}}}),
    [](const auto& param) { return std::string(param.param.name); });

// --- Input streams through the console's main window ------------------------------------------

enum class Setup { PortClosed, PortOpenIdle, ExchangeOpen, LogFileOpen };

struct DriveCase {
  const char* name;
  std::string input;
  Setup setup;
  std::vector<MessageResult> answers;  // for Yes/No questions, in order
  std::string posted;                  // operator characters posted, in order
  std::vector<std::string> shown;      // labels, messages and questions, in order
  std::vector<std::string> notes;
  std::vector<int> waits;
  bool exited;
};

void PrintTo(const DriveCase& c, std::ostream* os) { *os << c.name; }

class ConsoleOperatorTest : public ::testing::TestWithParam<DriveCase> {
 protected:
  ConsoleOperatorTest() {
    ui.Attach(&engine);
    // Every post wakes the worker: record the character and take it, as the worker would.
    engine.wakeWorker = [this] {
      const std::int32_t c = engine.state.pendingCommand.exchange(0);
      if (c != 0) posted.push_back(static_cast<char>(c));
    };
  }
  ~ConsoleOperatorTest() override {
    CloseLogFile(engine);
    std::error_code ignored;
    std::filesystem::remove(logPath, ignored);
  }

  std::vector<std::string> Shown() const {
    std::vector<std::string> shown;
    for (const auto& call : ui.Calls()) {
      if (call.rfind("Label", 0) == 0 || call.rfind("Message", 0) == 0 ||
          call.rfind("Question", 0) == 0 || call == "ClearLog") {
        shown.push_back(call);
      }
    }
    return shown;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  std::string posted;
  std::string logPath = ::testing::TempDir() + "console-operator-log.txt";
};

TEST_P(ConsoleOperatorTest, RunsTheStreamLikeTheMainWindow) {
  const DriveCase& c = GetParam();
  if (c.setup != Setup::PortClosed) {
    ASSERT_TRUE(ToggleComPort(engine));
  }
  if (c.setup == Setup::ExchangeOpen) engine.state.awaitingResponse = 1;
  if (c.setup == Setup::LogFileOpen) {
    ASSERT_TRUE(OpenLogFile(engine, logPath));
  }
  for (const MessageResult answer : c.answers) ui.QueueAnswer(answer);
  ui.ClearCalls();

  InputParser parser(false);
  std::vector<InputEvent> events;
  parser.Feed(c.input, events);
  parser.Finish(events);
  ConsoleOperator console(engine);
  std::vector<std::string> notes;
  std::vector<int> waits;
  bool exited = false;
  for (const InputEvent& event : events) {
    const Reaction reaction = console.Handle(event);
    if (!reaction.note.empty()) notes.push_back(reaction.note);
    if (reaction.waitMs >= 0) waits.push_back(reaction.waitMs);
    if (reaction.exit) {
      exited = true;
      break;  // nothing after Exit is read
    }
  }

  EXPECT_EQ(posted, c.posted);
  EXPECT_EQ(Shown(), c.shown);
  EXPECT_EQ(notes, c.notes);
  EXPECT_EQ(waits, c.waits);
  EXPECT_EQ(exited, c.exited);
}

const std::string kExitQuestionCall =
    "Question [?]: Do you want to exit [ TARVIK Host Simulator ] ?";

INSTANTIATE_TEST_SUITE_P(
    Streams, ConsoleOperatorTest,
    ::testing::Values(
        DriveCase{"EveryPostingKey",
                  "!3ABCDEHIJKMNPQRTUVWarv",
                  Setup::PortClosed,
                  {},
                  "!3ABCDEHIJKMNPQRTUVWarv",
                  {},
                  {},
                  {},
                  false},
        DriveCase{"ConsumedAndUnknownKeysDoNothing",
                  "hjlopqswZz9.:\x1b[B",
                  Setup::PortClosed,
                  {},
                  "",
                  {},
                  {},
                  {},
                  false},
        DriveCase{
            "ModeKeys",
            "LkO \x1b[A",
            Setup::PortClosed,
            {},
            "",
            {"Label Stack Mode: [ Stack2 ]", "Label ACK Mode: MANU", "Label Polling Mode: [ MANU ]",
             "Label Polling Mode: [ AUTO ]", "Label Display Mode: Text and Limited", "ClearLog"},
            {},
            {},
            false},
        DriveCase{"ChangeCommandWithItsValue",
                  ":value disable 12\nd",
                  Setup::PortClosed,
                  {},
                  "d",
                  {},
                  {},
                  {},
                  false},
        DriveCase{"ChangeCommandWithABadValue",
                  ":value disable 1G\nd",
                  Setup::PortClosed,
                  {},
                  "",
                  {"Message: An inaccurate character was contained."},
                  {},
                  {},
                  false},
        DriveCase{"ChangeCommandWithATooLongValue",
                  ":value security 12345\ne",
                  Setup::PortClosed,
                  {},
                  "",
                  {"Message: Input value is incomplete"},
                  {},
                  {},
                  false},
        DriveCase{
            "EmptyBoxesTakeTheirDefaults", "dc", Setup::PortClosed, {}, "dc", {}, {}, {}, false},
        DriveCase{"MidLineColonIsNoCommand",
                  "S:quit\n",
                  Setup::PortClosed,
                  {},
                  "Suit",
                  {},
                  {},
                  {},
                  false},
        DriveCase{
            "Wait", ":wait 250\n:wait 0\n", Setup::PortClosed, {}, "", {}, {}, {250, 0}, false},
        // The Download tab's buttons, with their checks; a path that cannot be read is the
        // file dialog cancelled, so no file is chosen and no message comes from Browse.
        DriveCase{"DownloadButtonsPortClosed",
                  ":normal-download\n:global-download\n:normal-download now\n",
                  Setup::PortClosed,
                  {},
                  "",
                  {"Message: The COM port has not been opened.",
                   "Message: The COM port has not been opened."},
                  {":normal-download takes nothing after it"},
                  {},
                  false},
        DriveCase{"BrowseOfAMissingPathIsCancel",
                  ":browse /nonexistent/target.bin\n:browse /\n:global-download\n",
                  Setup::PortOpenIdle,
                  {},
                  "",
                  {"Message: A target file has not yet been selected."},
                  {},
                  {},
                  false},
        DriveCase{"BadCommands",
                  ":wait -1\n:wait x\n:bogus\n:value nobox 1\n:properties 1 9600 200 Normal\n"
                  ":properties 1 9600 200 Normal 246 7\n:log-button\n",
                  Setup::PortClosed,
                  {},
                  "",
                  {},
                  {":wait needs milliseconds from 0 to 3600000, not \"-1\"",
                   ":wait needs milliseconds from 0 to 3600000, not \"x\"",
                   "unknown command \":bogus\" (value, wait, expect, expect-not, send, "
                   "send-bytes, quit, browse, normal-download, global-download, log-browse, "
                   "log-button, properties)",
                   "no value box \"nobox\" (disable, security, mode, inhibit, direction, "
                   "function, machine, barcode-func, barcode-inhibit)",
                   ":properties needs PORT BAUD POLLING MODE PACKET, for example :properties 1 "
                   "9600 200 Normal 246",
                   ":properties needs PORT BAUD POLLING MODE PACKET, for example :properties 1 "
                   "9600 200 Normal 246",
                   ":log-button: the Start/Stop button is disabled until a file is chosen "
                   "(:log-browse PATH)"},
                  {},
                  false},
        DriveCase{"ExitAnsweredNoStays",
                  "xS",
                  Setup::PortClosed,
                  {MessageResult::No},
                  "S",
                  {kExitQuestionCall + " -> No"},
                  {},
                  {},
                  false},
        DriveCase{"ExitAnsweredYesEnds",
                  "XS",
                  Setup::PortClosed,
                  {MessageResult::Yes},
                  "",
                  {kExitQuestionCall + " -> Yes"},
                  {},
                  {},
                  true},
        DriveCase{"QuitAsksNothing", ":quit\nS", Setup::PortOpenIdle, {}, "", {}, {}, {}, true},
        // A refused close keeps the program running.
        DriveCase{"ExitRefusedDuringAnExchange",
                  "x",
                  Setup::ExchangeOpen,
                  {MessageResult::Yes},
                  "",
                  {kExitQuestionCall + " -> Yes",
                   "Message: You can not close the COM port until the current transaction is "
                   "completed."},
                  {},
                  {},
                  false},
        DriveCase{"ExitRefusedWhileLogging",
                  "x",
                  Setup::LogFileOpen,
                  {},
                  "",
                  {"Message: Close log file before exiting the program."},
                  {},
                  {},
                  false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(ConsoleOperatorTest, PollForgetsTheLastStatus) {
  engine.state.lastStatus = 3;
  engine.state.statusChanged = 0;
  ConsoleOperator console(engine);
  console.Key('S');
  EXPECT_EQ(posted, "S");
  EXPECT_EQ(engine.state.lastStatus, 0);
  EXPECT_EQ(engine.state.statusChanged, 1);
}

TEST_F(ConsoleOperatorTest, ValueBoxesFeedTheSetCommands) {
  ConsoleOperator console(engine);
  console.Command("value machine  AB 12");
  console.Command("value barcode-inhibit");
  console.Key('n');
  // One blank separates the name from the text; the rest, blanks included, is the text.
  EXPECT_EQ(console.BoxText(0xCC), " AB 12");
  EXPECT_EQ(engine.state.machineNumber.Text(), " AB 12");
  console.Key('c');
  EXPECT_EQ(engine.commandValue, 0xFEu) << "an empty barcode-inhibit box sends FE";
  console.Command("value direction 7");
  console.Key('t');
  EXPECT_EQ(engine.commandValue, 0x07u);
  EXPECT_EQ(posted, "nct");
}

// Init Log and Read Log are keys only with the acceptance-log switch; the other keys of their
// disabled groups stay dead either way.
TEST_F(ConsoleOperatorTest, AcceptanceLogSwitchMakesOneAndTwoKeys) {
  ConsoleOperator plain(engine);
  for (const char key : std::string("12567Gg")) plain.Key(key);
  EXPECT_EQ(posted, "");

  ConsoleOperator switched(engine, true);
  for (const char key : std::string("12567Gg")) switched.Key(key);
  EXPECT_EQ(posted, "12");
}

// `:properties` fills the dialog and presses OK: refused values change nothing, accepted ones are
// in force, saved and shown; words the lists do not have leave them without a selection.
TEST_F(ConsoleOperatorTest, PropertiesSetsTheDialogAndPressesOk) {
  const std::string settings = ::testing::TempDir() + "console-properties.ini";
  std::filesystem::remove(settings);
  ASSERT_TRUE(ToggleComPort(engine));
  ConsoleOperator console(engine);
  console.SetSettingsPath(settings);
  ui.ClearCalls();

  EXPECT_EQ(console.Command("properties 3 19200 5- Test 100").kind, CommandOutcome::Kind::Done);
  EXPECT_EQ(Shown(), std::vector<std::string>{"Message (Polling Duration): Error : Not a number."});
  EXPECT_EQ(engine.state.com_port_index, 0);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(settings));

  ui.ClearCalls();
  console.Command("properties 3 19200 500 Test 100");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"Label Polling Duration (msec): 500",
                                               "Label Device Address: 252", "Label Port: 3"}));
  EXPECT_EQ(engine.state.com_port_index, 2);
  EXPECT_EQ(engine.state.baud_rate_index, 1);
  EXPECT_EQ(engine.state.ope_mode_index, 1);
  EXPECT_EQ(engine.state.download_packet_size, 100);
  EXPECT_EQ(link.LastPortNumber(), 3);
  EXPECT_EQ(link.LastBaudRate(), 19200);

  // Out-of-list words: no selection (-1), saved as -1. The packet text is cut to the field's
  // three characters.
  ui.ClearCalls();
  console.Command("properties 21 4800 200 Fast 2460");
  EXPECT_EQ(engine.state.com_port_index, -1);
  EXPECT_EQ(engine.state.baud_rate_index, -1);
  EXPECT_EQ(engine.state.ope_mode_index, -1);
  EXPECT_EQ(engine.state.download_packet_size, 246);
  std::ifstream in(settings);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "[BEXALTOOL]\nCOM PORT=-1\nBAUD RATE=-1\nPOLLING DURATION=200\nOPERATING MODE=-1\n"
            "DOWNLOAD PACKET SIZE=246\n");
  std::filesystem::remove(settings);
}

TEST_F(ConsoleOperatorTest, LogBrowseAndButtonRecordLikeTheLogTab) {
  engine.state.logRecordingStopped = 1;  // as the worker does when it starts
  std::filesystem::remove(logPath);
  ConsoleOperator console(engine);
  EXPECT_EQ(console.Command("log-browse " + logPath).kind, CommandOutcome::Kind::Done);
  EXPECT_EQ(console.LogTab().pathField, logPath);
  EXPECT_TRUE(console.LogTab().buttonEnabled);
  console.Command("log-button");
  EXPECT_TRUE(IsLogFileOpen(engine));
  EXPECT_EQ(LogButtonText(engine), "Stop");
  console.Command("log-button");
  EXPECT_FALSE(IsLogFileOpen(engine));
  EXPECT_TRUE(std::filesystem::exists(logPath));

  // Browse cancelled: the field empties and the button ignores presses.
  console.Command("log-browse");
  EXPECT_EQ(console.LogTab().pathField, "");
  EXPECT_EQ(console.LogTab().logFilePath, logPath);
  EXPECT_EQ(console.Command("log-button").kind, CommandOutcome::Kind::Error);
  EXPECT_EQ(LogButtonText(engine), "Start");
}

TEST_F(ConsoleOperatorTest, ExitClosesAnIdlePort) {
  ASSERT_TRUE(ToggleComPort(engine));
  ConsoleOperator console(engine);
  EXPECT_EQ(console.Key('x'), ExitOutcome::Exit);
  EXPECT_EQ(engine.state.portOpen, 0);
  EXPECT_FALSE(link.IsOpen());
}

}  // namespace
}  // namespace tarvik::console
