// End-to-end: tarvik-host as a regression tool. The built program runs a console script against
// the virtual validator (in this process, on a pseudo-terminal, with its faults on demand), and
// the tests judge what a CI job sees: the exit status, the EXPECT FAILED lines, the frames on the
// line, the log's form and the run summary.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/host_run_fixture.h"
#include "validator/validator_runner.h"

namespace {

using tarvik::e2e::HostProcess;
using tarvik::e2e::HostRunTest;
using tarvik::validator::RunnerOptions;
using tarvik::validator::VirtualValidatorRunner;

const std::string kStatusRequest = tarvik::e2e::Sent("STATUS REQUEST", "FC 05 11 27 56");
const std::string kIdling = tarvik::e2e::Received("IDLING", "FC 05 11 27 56");

bool Contains(const std::string& text, std::string_view what) {
  return text.find(what) != std::string::npos;
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

class RegressionTest : public HostRunTest {
 protected:
  RegressionTest() { SetPollingMs(kNoPollingMs); }

  // The validator, idle from the start and quick through a note, and the host on its line.
  ::testing::AssertionResult Start(const std::vector<std::string>& args = {}) {
    RunnerOptions options = ValidatorOptions();
    options.startIdle = true;
    options.timings.initializeMs = 50;
    options.timings.acceptingMs = 50;
    options.timings.stackingMs = 50;
    options.timings.stackedMs = 50;
    std::string why;
    if (!validator_.Start(options, &why)) {
      return ::testing::AssertionFailure() << "the validator did not start: " << why;
    }
    return StartHost(validator_.SlavePath(), args);
  }

  ::testing::AssertionResult StartHost(const std::string& device,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> all{"--device", device};
    all.insert(all.end(), args.begin(), args.end());
    return HostRunTest::StartHost(all);
  }

  // Runs `validatorCommands`, then the whole `script` as the host's input, to the host's end.
  RunResult Run(const std::string& script, const std::vector<std::string>& args = {},
                const std::vector<std::string>& validatorCommands = {}) {
    if (!Start(args)) {
      ADD_FAILURE() << "start failed";
      return {};
    }
    for (const std::string& command : validatorCommands) {
      const auto reply = validator_.Command(command);
      EXPECT_TRUE(reply.ok) << command << ": " << reply.text;
    }
    host_.Type(script);
    host_.EndInput();
    const int status = host_.WaitForExit();
    return {status, host_.Out(), host_.Err()};
  }
};

// ---- Expectations ------------------------------------------------------------------------------

struct ExpectCase {
  const char* name;
  std::string script;
  std::vector<std::string> args;
  std::vector<std::string> validatorCommands;
  int status;
  std::vector<std::string> errHas;
  std::vector<std::string> errLacks;
  std::vector<std::string> outHas;
  std::vector<std::string> outLacks;
};

void PrintTo(const ExpectCase& c, std::ostream* os) { *os << c.name; }

class ExpectationTest : public RegressionTest, public ::testing::WithParamInterface<ExpectCase> {};

TEST_P(ExpectationTest, JudgesTheLogAndSetsTheExitStatus) {
  const ExpectCase& c = GetParam();
  const RunResult run = Run(c.script, c.args, c.validatorCommands);
  EXPECT_EQ(run.status, c.status);
  for (const std::string& text : c.errHas) EXPECT_TRUE(Contains(run.err, text)) << text;
  for (const std::string& text : c.errLacks) EXPECT_FALSE(Contains(run.err, text)) << text;
  for (const std::string& text : c.outHas) EXPECT_TRUE(Contains(run.out, text)) << text;
  for (const std::string& text : c.outLacks) EXPECT_FALSE(Contains(run.out, text)) << text;
}

const ExpectCase kExpectCases[] = {
    {"AnEntryThatComesHolds",
     "S\n:expect IDLING 3000\n",
     {},
     {},
     0,
     {"Expectations: 1 held, 0 failed"},
     {"EXPECT FAILED"},
     {kIdling},
     {}},
    {"AnEntryThatNeverComesFails",
     "S\n:expect IDLING 3000\n:expect ESCROW 200\n",
     {},
     {},
     1,
     {"EXPECT FAILED: line 3: ESCROW (waited 200 ms; last entry: <--- IDLING [FC 05 11 27 56])\n",
      "Expectations: 1 held, 1 failed"},
     {},
     {},
     {}},
    {"AMatchedEntryIsNotMatchedAgain",
     "S\n:expect IDLING 3000\n:expect IDLING 200\n",
     {},
     {},
     1,
     {"EXPECT FAILED: line 3: IDLING (waited 200 ms; "},
     {},
     {},
     {}},
    {"TheRunGoesOnAfterAFailure",
     "# a comment line, then a blank one\n\n:expect IDLING 100\nS\n:expect IDLING 3000\n",
     {},
     {},
     1,
     {"EXPECT FAILED: line 3: IDLING (waited 100 ms; last entry: (none))\n",
      "Expectations: 1 held, 1 failed"},
     {},
     {kIdling},
     {}},
    {"FailFastEndsTheRunAtTheFirstFailure",
     ":expect IDLING 100\nS\n:expect IDLING 3000\n",
     {"--fail-fast"},
     {},
     1,
     {"EXPECT FAILED: line 1: IDLING", "Expectations: 0 held, 1 failed"},
     {},
     {},
     {kStatusRequest}},
    {"NoErrorWithinTheWindowHolds",
     "S\n:expect IDLING 3000\n:expect-not Error 300\n",
     {},
     {},
     0,
     {"Expectations: 2 held, 0 failed"},
     {"EXPECT FAILED"},
     {},
     {}},
    {"AnErrorWithinTheWindowFails",
     "S\n:expect-not CRC Error 3000\n",
     {},
     {"fault crc"},
     1,
     {"EXPECT FAILED: line 2: not CRC Error (waited ",
      "last entry: <--- CRC Error : This value must be \"27\" \"56\" . [FC 05 11"},
     {},
     {},
     {}},
    {"AnUnreadableExpectationFails",
     ":expect-not Error\n:expect\n",
     {},
     {},
     1,
     {"EXPECT FAILED: line 1: :expect-not needs TEXT and then MS",
      "EXPECT FAILED: line 2: :expect needs a TEXT to look for", "Expectations: 0 held, 2 failed"},
     {},
     {},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Scripts, ExpectationTest, ::testing::ValuesIn(kExpectCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- Exit statuses -----------------------------------------------------------------------------

struct ExitCase {
  const char* name;
  bool validator;  // false: a device that does not exist
  std::vector<std::string> args;
  std::string script;
  int status;
  std::string errHas;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class ExitStatusTest : public RegressionTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitStatusTest, EachOutcomeHasItsStatus) {
  const ExitCase& c = GetParam();
  if (c.validator) {
    ASSERT_TRUE(Start(c.args));
  } else {
    ASSERT_TRUE(StartHost("/nonexistent/tty-for-tarvik-host", c.args));
  }
  host_.Type(c.script);
  host_.EndInput();
  EXPECT_EQ(host_.WaitForExit(), c.status);
  EXPECT_TRUE(Contains(host_.Err(), c.errHas)) << c.errHas;
}

const ExitCase kExitCases[] = {
    {"AllHeld", true, {}, "S\n:expect IDLING 3000\n", 0, "Expectations: 1 held, 0 failed"},
    {"AnExpectationFailed", true, {}, ":expect IDLING 50\n", 1, "EXPECT FAILED: line 1: IDLING"},
    {"ThePortDidNotOpen",
     false,
     {},
     "S\n",
     2,
     "MESSAGE: This COM port is not available. Use another COM port."},
    {"AnOptionWithoutItsValue", true, {"--summary"}, "", 64, "--summary needs a value"},
    {"AnUnknownOption", true, {"--no-such-option"}, "", 64, "unknown option --no-such-option"},
    {"AFlagGivenAValue", true, {"--fail-fast=yes"}, "", 64, "--fail-fast takes no value"},
    // The run itself went well; the file that could not be written is reported, not hidden.
    {"ASummaryFileThatCannotBeWritten",
     true,
     {"--summary", "/nonexistent/dir/summary.json"},
     "S\n:expect IDLING 3000\n",
     0,
     "tarvik-host: cannot write the summary to /nonexistent/dir/summary.json: No such file or "
     "directory\n"},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, ExitStatusTest, ::testing::ValuesIn(kExitCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(RegressionTest, HelpDocumentsEveryExitStatusInOneTable) {
  ASSERT_TRUE(host_.Start({"--help"}));
  EXPECT_EQ(host_.WaitForExit(), 0);
  const std::string table =
      "Exit status:\n"
      "  0   a normal end: every expectation held (or none was set); --help, --version\n"
      "  1   an expectation failed; or --screenshot could not save the picture\n"
      "  2   the port did not open (input not a terminal), or the demo validator did not start\n"
      "  64  a wrong command line\n"
      "  74  the communication log could not be written to standard output\n";
  EXPECT_TRUE(Contains(host_.Out(), table)) << host_.Out();
}

// ---- Raw frames
// ----------------------------------------------------------------------------------

struct SendCase {
  const char* name;
  std::string script;
  std::vector<std::string> onTheLine;  // in the validator's trace, in this order
  std::vector<std::string> log;        // on standard output, in this order
  std::string errHas;
};

void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }

class RawFrameTest : public RegressionTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(RawFrameTest, GoesOutByteExactAndIsAnsweredAsUsual) {
  const SendCase& c = GetParam();
  const RunResult run = Run(c.script);
  EXPECT_EQ(run.status, 0);
  const std::string trace = Trace();
  std::size_t at = 0;
  for (const std::string& line : c.onTheLine) {
    at = trace.find(line, at);
    ASSERT_NE(at, std::string::npos) << "not on the line (in order): " << line;
  }
  at = 0;
  for (const std::string& entry : c.log) {
    at = run.out.find(entry, at);
    ASSERT_NE(at, std::string::npos) << "not in the log (in order):\n" << entry;
  }
  if (c.onTheLine.empty()) {
    EXPECT_FALSE(Contains(trace, "RX ")) << "nothing may reach the line";
  }
  EXPECT_TRUE(Contains(run.err, c.errHas)) << c.errHas;
}

const SendCase kSendCases[] = {
    {"ACatalogueCommandKeepsItsName",
     ":send 40\n",
     {"RX FC 05 40 2B 15"},
     {"RESET COMMAND --->\n[FC 05 40 2B 15]\n", "              <--- ACK\n"},
     ""},
    {"DataBytesGoIntoTheFrame",
     ":send C3 01\n",
     {"RX FC 06 C3 01 8D C7"},
     {"INHIBIT SET --->\n[FC 06 C3 01 8D C7]\n", "              <--- Set INHIBIT 01\n"},
     ""},
    {"AnUnknownCodeIsARawFrame",
     ":send 30\n",
     {"FC 05 30 AC 66"},
     {"Raw Frame 0x30 --->\n[FC 05 30 AC 66]\n", "              <--- Invalid Command\n"},
     ""},
    {"RawBytesGoOutAsGiven",
     ":send-bytes fc 07 c0 0x12 34 ab 64\n",
     {"RX FC 07 C0 12 34 AB 64"},
     {"Raw Bytes --->\n[FC 07 C0 12 34 AB 64]\n", "              <--- Set DISABLE 12,34\n"},
     ""},
    {"ABadCrcReachesTheValidatorAndTimesOut",
     ":send-bytes FC 05 11 00 00\n",
     {"-- ignored FC 05 11 00 00"},
     {"Raw Bytes --->\n[FC 05 11 00 00]\n",
      "              <--- 300msec Timeout Error for Response.\n"},
     ""},
    {"ScriptFramesGoOutInTurn",
     ":send 40\n:send 11\n",
     {"RX FC 05 40 2B 15", "RX FC 05 11 27 56"},
     {"RESET COMMAND --->\n", "              <--- ACK\n", kStatusRequest},
     ""},
    {"ABadByteSendsNothing",
     ":send 40 zz\n",
     {},
     {},
     "CONSOLE: :send takes bytes in hexadecimal (00 to FF), not \"zz\"\n"},
};

INSTANTIATE_TEST_SUITE_P(Frames, RawFrameTest, ::testing::ValuesIn(kSendCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- Timestamps
// ----------------------------------------------------------------------------------

TEST_F(RegressionTest, TimestampsPrefixEveryLineOnStandardOutputAndInTheLogFile) {
  const std::string plain = kStatusRequest + kIdling;
  for (const bool stamped : {false, true}) {
    SCOPED_TRACE(stamped ? "--timestamps" : "default");
    HostProcess host;
    VirtualValidatorRunner validator;
    RunnerOptions options;
    options.startIdle = true;
    ASSERT_TRUE(validator.Start(options));
    std::vector<std::string> args{"--console", "--device", validator.SlavePath(), "--settings",
                                  settings_};
    if (stamped) args.emplace_back("--timestamps");
    ASSERT_TRUE(host.Start(args));
    // The same run recorded into a log file on the Log tab.
    const std::string recording = (dir_ / (stamped ? "stamped.log" : "plain.log")).string();
    host.Type(":log-browse " + recording + "\n:log-button\nS\n:expect IDLING 3000\n:log-button\n");
    host.EndInput();
    EXPECT_EQ(host.WaitForExit(), 0) << host.Err();
    std::ifstream file(recording);
    const std::string recorded((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    EXPECT_EQ(recorded, host.Out());
    if (!stamped) {
      EXPECT_EQ(host.Out(), plain);
      continue;
    }
    static const std::regex kStamp("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ");
    std::istringstream lines(host.Out());
    std::string unstamped;
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(std::regex_search(line, kStamp)) << line;
      unstamped += line.substr(std::min<std::size_t>(13, line.size())) + "\n";
    }
    EXPECT_EQ(unstamped, plain);
  }
}

// ---- The run summary
// -----------------------------------------------------------------------------

TEST_F(RegressionTest, TheSummaryCountsExchangesErrorsAndNotes) {
  const std::string json = (dir_ / "summary.json").string();
  ASSERT_TRUE(Start({"--summary", json}));
  const auto step = [&](const std::string& fault, const std::string& keys,
                        const std::string& until) {
    if (!fault.empty()) {
      const auto reply = validator_.Command(fault);
      ASSERT_TRUE(reply.ok) << reply.text;
    }
    const std::size_t from = host_.Out().size();
    host_.Type(keys);
    ASSERT_TRUE(WaitForLog(until, 1, from));
  };
  step("", "r\n", "<--- ACK\n");
  step("fault drop", "S\n", "<--- 300msec Timeout Error for Response.\n");
  step("fault crc", "S\n", "<--- CRC Error");
  step("fault stray 2", "S\n", "<--- IDLING\n");
  ASSERT_TRUE(Contains(host_.Out(), "<--- Sync Byte Error.\n                   [00]\n"));
  ASSERT_TRUE(validator_.Command("insert 61").ok);
  // Stack1 mode stacks the note as soon as a poll finds it in escrow; the host's own ACK to the
  // vend follows. Polls by hand until the note is stacked: a poll is answered within a
  // millisecond, so the mechanism's time (600 ms stacking) is counted by the clock, not by polls.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until && !Contains(host_.Out(), "<--- STACKED")) {
    const std::size_t from = host_.Out().size();
    host_.Type(":wait 20\nS\n");
    ASSERT_TRUE(WaitForLog("              <--- ", 1, from));
  }
  ASSERT_TRUE(Contains(host_.Out(), "<--- STACKED"));
  host_.EndInput();
  EXPECT_EQ(host_.WaitForExit(), 0);

  std::ifstream file(json);
  ASSERT_TRUE(file) << json;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::vector<std::string> expected = {
      "\"exit_status\": 0,",
      "{\"code\": \"0x40\", \"name\": \"RESET COMMAND\", \"sent\": 1, \"answered\": 1, "
      "\"timed_out\": 0, \"answer_ms\": {\"p50\": ",
      "{\"code\": \"0x41\", \"name\": \"Stack 1\", \"sent\": 1, \"answered\": 1, \"timed_out\": 0",
      "\"receive_errors\": {\"sync\": 2, \"length\": 0, \"crc\": 1, \"time_out\": 1}",
      "{\"code\": \"0x61\", \"escrowed\": 1, \"stacked\": 1, \"returned\": 0, \"rejected\": 0}",
  };
  for (const std::string& item : expected)
    EXPECT_TRUE(Contains(text, item)) << item << "\n" << text;
  // The one dropped answer timed out its status request; every other was answered.
  static const std::regex kStatusRow(
      "\"name\": \"STATUS REQUEST\", \"sent\": ([0-9]+), \"answered\": ([0-9]+), "
      "\"timed_out\": 1, \"answer_ms\": \\{\"p50\": [0-9.]+, \"p99\": [0-9.]+, \"max\": "
      "[0-9.]+\\}");
  std::smatch row;
  ASSERT_TRUE(std::regex_search(text, row, kStatusRow)) << text;
  EXPECT_EQ(std::stoi(row[1]), std::stoi(row[2]) + 1);

  // The same on standard error, as a table.
  EXPECT_TRUE(Contains(host_.Err(), "Receive errors: sync 2, length 0, CRC 1, time-out 1\n"));
  EXPECT_TRUE(Contains(host_.Err(), "0x61         1        1        0        0\n"));
}

}  // namespace
