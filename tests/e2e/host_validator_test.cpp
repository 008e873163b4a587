// End-to-end: the built tarvik-host on the console against the virtual validator, which runs in
// this process on a pseudo-terminal. The test plays the operator: it types keys into the host's
// standard input only once the log shows the previous exchange done, as a person at the window
// would, and asserts on the communication log (standard output) and on the window effects
// (standard error).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.h"
#include "validator/validator_runner.h"
#include "validator/validator_texts.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;
using tarvik::validator::RunnerOptions;
using tarvik::validator::VirtualValidatorRunner;

// Every wait is bounded by this, generous for a loaded machine and the sanitizers; a run that
// goes well takes a fraction of it.
constexpr auto kWaitLimit = std::chrono::seconds(15);
// The host polls this often (ms), so each state of a note cycle shows within a few tens of ms.
constexpr int kPollingMs = 50;

// One log line pair as the log file has it: a sent command and its bytes, or a received frame's
// text and its bytes, indented.
std::string Sent(std::string_view name, std::string_view hex) {
  return std::string(name) + " --->\n[" + std::string(hex) + "]\n";
}
std::string Received(std::string_view text, std::string_view hex) {
  return "              <--- " + std::string(text) + "\n                   [" + std::string(hex) +
         "]\n";
}
std::string ReceivedText(std::string_view text) {
  return "              <--- " + std::string(text) + "\n";
}

// A long log with its middle left out: a failed wait has polled for many seconds, and what
// matters is how the run began and where it stood.
std::string Elided(const std::string& text) {
  constexpr std::size_t kHeadLines = 120;
  constexpr std::size_t kTailLines = 240;
  std::vector<std::size_t> starts{0};
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    if (at + 1 < text.size()) starts.push_back(at + 1);
  }
  if (starts.size() <= kHeadLines + kTailLines) return text;
  const std::size_t headEnd = starts[kHeadLines];
  const std::size_t tailStart = starts[starts.size() - kTailLines];
  return text.substr(0, headEnd) + "... (" +
         std::to_string(starts.size() - kHeadLines - kTailLines) + " lines left out) ...\n" +
         text.substr(tailStart);
}

std::size_t Count(const std::string& text, std::string_view what, std::size_t from = 0) {
  std::size_t count = 0;
  for (auto at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// Each of `items` appears in `log` after the one before it, the first at or after `from`.
::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& items,
                                   std::size_t from = 0) {
  std::size_t at = from;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::size_t found = log.find(items[i], at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "item " << i << " not found in order:\n"
             << items[i] << (i > 0 ? "after:\n" + items[i - 1] : std::string());
    }
    at = found + items[i].size();
  }
  return ::testing::AssertionSuccess();
}

// The host program with its three standard streams on pipes. Ends the process (by its id) if a
// test leaves it running.
class HostProcess {
 public:
  HostProcess() = default;
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  ::testing::AssertionResult Start(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      return ::testing::AssertionFailure() << "pipe failed";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all{TARVIK_HOST_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, TARVIK_HOST_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) {
      pid_ = -1;
      return ::testing::AssertionFailure() << "cannot start " << TARVIK_HOST_BINARY;
    }
    return ::testing::AssertionSuccess();
  }

  // Key presses and command lines, as typed.
  void Type(std::string_view text) {
    if (in_ < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(in_, text.data(), text.size());
  }
  void EndInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // Reads what the host writes until `done` holds; false when the limit passed first.
  bool WaitUntil(
      const std::function<bool()>& done,
      std::chrono::seconds limit = std::chrono::duration_cast<std::chrono::seconds>(kWaitLimit)) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
      if (SteadyClock::now() >= deadline || !ReadSome(deadline)) return done();
    }
    return true;
  }

  // Waits for the end of the process, reading its output to the end; -1 past the limit.
  int WaitForExit() {
    const auto deadline = SteadyClock::now() + kWaitLimit;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
      if (SteadyClock::now() >= deadline) return -1;  // the destructor ends it
      ::poll(nullptr, 0, 10);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& Out() const { return outText_; }
  const std::string& Err() const { return errText_; }

 private:
  // Takes one chunk of output; false when both streams have ended or the deadline passed.
  bool ReadSome(SteadyClock::time_point deadline) {
    std::array<pollfd, 2> fds{{{out_, POLLIN, 0}, {err_, POLLIN, 0}}};
    if (out_ < 0 && err_ < 0) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) return false;
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left, 100))) <= 0) {
      return true;
    }
    std::array<char, 4096> buffer{};
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      int& fd = k == 0 ? out_ : err_;
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        (k == 0 ? outText_ : errText_).append(buffer.data(), static_cast<std::size_t>(n));
      } else {
        ::close(fd);
        fd = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outText_;
  std::string errText_;
};

// A fresh settings file, and a failure report with the host's streams and the validator's trace.
class HostRunTest : public ::testing::Test {
 protected:
  HostRunTest() {
    std::string pattern = ::testing::TempDir() + "host-validator-XXXXXX";
    dir_ = ::mkdtemp(pattern.data());
    settings_ = (dir_ / "BEXALTOOL.INI").string();
    std::ofstream(settings_) << "[BEXALTOOL]\nPOLLING DURATION=" << kPollingMs << "\n";
  }
  ~HostRunTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void TearDown() override {
    validator_.Stop();
    if (!HasFailure()) return;
    std::string trace;
    {
      std::lock_guard lock(traceMutex_);
      for (const std::string& line : trace_) trace += line + '\n';
    }
    std::cerr << "---- host standard output ----\n"
              << Elided(host_.Out()) << "---- host standard error ----\n"
              << Elided(host_.Err()) << "---- validator trace ----\n"
              << Elided(trace);
  }

  // The host on the console; input stays open for Type() until EndInput().
  ::testing::AssertionResult StartHost(std::vector<std::string> args) {
    args.insert(args.end(), {"--console", "--settings", settings_});
    return host_.Start(args);
  }

  // The validator with its mechanism sped up, and the host on its line.
  ::testing::AssertionResult StartBoth(std::vector<std::string> hostArgs = {}) {
    RunnerOptions options;
    options.timings.initializeMs = 150;
    options.timings.acceptingMs = 100;
    options.timings.stackingMs = 150;
    options.timings.stackedMs = 100;
    options.timings.returningMs = 150;
    options.trace = [this](std::string_view line) {
      std::lock_guard lock(traceMutex_);
      trace_.emplace_back(line);
    };
    std::string why;
    if (!validator_.Start(options, &why)) {
      return ::testing::AssertionFailure() << "the validator did not start: " << why;
    }
    hostArgs.insert(hostArgs.end(), {"--device", validator_.SlavePath()});
    return StartHost(hostArgs);
  }

  // Whether the validator's trace has a line containing `text`.
  bool TraceHas(std::string_view text) {
    std::lock_guard lock(traceMutex_);
    for (const std::string& line : trace_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // Waits until the log holds `text` at least `count` times from `from` on.
  ::testing::AssertionResult WaitForLog(const std::string& text, std::size_t count = 1,
                                        std::size_t from = 0) {
    if (host_.WaitUntil([&] { return Count(host_.Out(), text, from) >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the log did not show " << count << " x:\n" << text;
  }
  ::testing::AssertionResult WaitForErr(const std::string& text) {
    if (host_.WaitUntil([&] { return host_.Err().find(text) != std::string::npos; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "standard error did not show:\n" << text;
  }

  // A plain reset, then the validator idles.
  void ResetValidator() {
    host_.Type("r");
    ASSERT_TRUE(WaitForLog(Received("ACK", kAckFrame)));
    ASSERT_TRUE(WaitForLog(ReceivedText("IDLING")));
  }

  // End of input: the host lets the last exchange finish and exits with 0.
  void ExpectCleanExit() {
    host_.EndInput();
    EXPECT_EQ(host_.WaitForExit(), 0);
  }

  static constexpr std::string_view kAckFrame = "FC 05 50 AA 05";

  HostProcess host_;
  VirtualValidatorRunner validator_;
  std::filesystem::path dir_;
  std::string settings_;

 private:
  std::mutex traceMutex_;  // guards trace_, filled on the validator's thread
  std::vector<std::string> trace_;
};

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
  EXPECT_TRUE(InOrder(host_.Out(), {escrow, Sent("Version Request", "FC 05 88 6F 5F"), version},
                      from));
  const std::size_t afterVersion = host_.Out().size();
  EXPECT_TRUE(WaitForLog(escrow, 2, afterVersion)) << "polling did not go on";
  ExpectCleanExit();
  // Ended by the escrow itself, not by the worker's last-resort watch.
  EXPECT_EQ(Count(host_.Out(), kStuckExchangeLine), 0u);
}

// Auto Reset whose first stored setting is never answered: the setting's response deadline ends
// the chain, polling resumes, and the next key is taken.
TEST_F(HostRunTest, AnAutoResetChainCutShortBySilenceTimesOutAndPollingResumes) {
  ASSERT_TRUE(StartBoth());
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
  EXPECT_TRUE(WaitForLog(ReceivedText("Ver.:" + std::string(tarvik::validator::kVersionText)),
                         1, afterTimeout));
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

// ---- Program download ------------------------------------------------------------------------

// A target file with a readable header and varied bytes after it, and its CRC as the host and
// the validator compute it.
struct TargetFile {
  std::string path;
  std::size_t size;
  std::string crc;  // "%04X"
};

TargetFile WriteTargetFile(const std::filesystem::path& dir, std::size_t size) {
  TargetFile file{(dir / "program.bin").string(), size, {}};
  std::vector<std::uint8_t> bytes(size);
  const std::uint8_t header[] = {'T',  'V',  '1',  0,    0,    0,    0x00,
                                 0x01, 0x00, 0x00, 0x00, 0x02, 0x90, 0x00};
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] =
        i < sizeof header ? header[i] : static_cast<std::uint8_t>((i * 131 + i / 256) & 0xFF);
  }
  std::ofstream(file.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  std::uint16_t crc = tarvik::signatureSeed;
  for (const std::uint8_t byte : bytes) crc = tarvik::CrcStep(crc, byte);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", crc);
  file.crc = text;
  return file;
}

// A 100 KiB program goes over packet by packet; the validator's check of what arrived matches the
// file. The input ends right after the button: the console lets the download finish, then exits.
TEST_F(HostRunTest, NormalDownloadDeliversTheWholeFile) {
  const TargetFile file = WriteTargetFile(dir_, 100 * 1024);
  ASSERT_TRUE(StartBoth());
  ASSERT_TRUE(validator_.Command("expect-crc " + file.crc).ok);
  ResetValidator();
  if (HasFatalFailure()) return;
  host_.Type("\n:browse " + file.path + "\n:normal-download\n");
  ASSERT_TRUE(WaitForErr("FIELD CRC: " + file.crc + "\n"));
  EXPECT_TRUE(WaitForErr("FIELD Header:  TV1:00010000:00029000\n"));
  host_.EndInput();
  EXPECT_EQ(host_.WaitForExit(), 0);
  EXPECT_NE(host_.Out().find(ReceivedText("Program Check Verified-" + file.crc)),
            std::string::npos);
  EXPECT_NE(host_.Err().find("MESSAGE: The target file has been downloaded successfully."),
            std::string::npos);
  EXPECT_TRUE(TraceHas("program load ended: 102400 bytes in 417 packets, CRC " + file.crc +
                       ", verified"));  // the check result came after this line
  EXPECT_EQ(Count(host_.Out(), "Download Data ("), 417u);
  EXPECT_TRUE(
      InOrder(host_.Out(), {"Download Data (0%)", "Download Data (50%)", "Download Data (100%)",
                            Sent("Download End and Confirm", "FC 05 D2 B0 A2")}));
  EXPECT_NE(host_.Err().find("DOWNLOAD: 100% (102400 of 102400 bytes)"), std::string::npos);
}

// A check error is not reported as success: the message names both CRCs.
TEST_F(HostRunTest, NormalDownloadWithACheckErrorSaysSo) {
  const TargetFile file = WriteTargetFile(dir_, 2000);
  ASSERT_TRUE(StartBoth());
  ASSERT_TRUE(
      validator_.Command(std::string("expect-crc ") + (file.crc == "0001" ? "0002" : "0001")).ok);
  ResetValidator();
  if (HasFatalFailure()) return;
  host_.Type("\n:browse " + file.path + "\n:normal-download\n");
  ASSERT_TRUE(WaitForErr("MESSAGE: The program check has failed"));
  EXPECT_NE(host_.Out().find("Program Check Error-V" + file.crc + ":M" + file.crc),
            std::string::npos);
  EXPECT_NE(host_.Err().find("validator reports CRC " + file.crc + ", the target file has CRC " +
                             file.crc),
            std::string::npos);
  EXPECT_EQ(host_.Err().find("downloaded successfully"), std::string::npos);
  ExpectCleanExit();
}

// The broadcast on shortened waits: every frame goes to address 240, the validator takes the
// whole image without answering, and the host gives the line back to address 252.
TEST_F(HostRunTest, GlobalDownloadBroadcastsTheWholeFile) {
  const TargetFile file = WriteTargetFile(dir_, 3000);
  ASSERT_TRUE(StartBoth({"--global-download-waits", "50,50,100,20"}));
  ASSERT_TRUE(validator_.Command("expect-crc " + file.crc).ok);
  ResetValidator();
  if (HasFatalFailure()) return;
  host_.Type("\n:browse " + file.path + "\n:global-download\n");
  ASSERT_TRUE(WaitForErr("MESSAGE: The target file has been downloaded successfully."));
  EXPECT_TRUE(InOrder(host_.Err(), {"LABEL Device Address: 240\n", "BUTTON Normal Download: off",
                                    "DOWNLOAD: done", "LABEL Device Address: 252\n"}));
  EXPECT_TRUE(InOrder(host_.Out(),
                      {"INHIBIT SET --->\n[F0 06 C3 01 ", "Download Start Request --->\n[F0 ",
                       "Download Data (100%) --->\n[F0 ", "Download End and Confirm --->\n[F0 "}));
  // Nothing answers the last broadcast frame: the validator's trace tells what it made of it.
  EXPECT_TRUE(host_.WaitUntil([&] {
    return TraceHas("program load ended: 3000 bytes in 13 packets, CRC " + file.crc + ", verified");
  }));
  ExpectCleanExit();
}

// A validator that stops answering mid-download: timer 1 ends the download after 20 s with a
// message, the file is closed and polling goes on.
TEST_F(HostRunTest, NormalDownloadEndsWhenTheValidatorFallsSilent) {
  const TargetFile file = WriteTargetFile(dir_, 20000);
  ASSERT_TRUE(StartBoth());
  ResetValidator();
  if (HasFatalFailure()) return;
  host_.Type("\n:browse " + file.path + "\n:normal-download\n");
  ASSERT_TRUE(WaitForLog("Download Data (", 3));
  ASSERT_TRUE(validator_.Command("fault drop").ok);
  const auto dropped = SteadyClock::now();
  ASSERT_TRUE(host_.WaitUntil(
      [&] {
        return host_.Err().find("MESSAGE: The download has been stopped") != std::string::npos;
      },
      std::chrono::seconds(40)));
  const auto waited = SteadyClock::now() - dropped;
  EXPECT_GE(waited, std::chrono::seconds(19));
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_NE(host_.Out().find(ReceivedText("Timeout Error.")), std::string::npos);
  const std::size_t stoppedAt = host_.Out().size();
  // Polling resumes: status requests go out again (the validator, still in its loader, answers
  // them with its download status).
  EXPECT_TRUE(WaitForLog(Sent("STATUS REQUEST", "FC 05 11 27 56"), 3, stoppedAt));
  EXPECT_EQ(host_.Err().find("downloaded successfully"), std::string::npos);
  ExpectCleanExit();
}

}  // namespace
