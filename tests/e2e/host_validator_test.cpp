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
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

  // The directory the host runs in (where it saves "LOG.dat"); the test's own when empty.
  void SetWorkingDirectory(std::string directory) { workingDirectory_ = std::move(directory); }

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
    if (!workingDirectory_.empty()) {
      posix_spawn_file_actions_addchdir_np(&actions, workingDirectory_.c_str());
    }
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
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = SteadyClock::now() + kWaitLimit;
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

  std::string workingDirectory_;
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
    return StartHost(std::move(hostArgs));
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

// ---- Acceptance data and Ad data ---------------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

Bytes ReadBinary(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uintmax_t SizeOf(const std::filesystem::path& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// The frames the log shows after each "<--- NAME (offset:NNNNN)" line, in order, each as its
// bytes from the bracketed dump, looking from `from` on.
std::vector<Bytes> LoggedBlocks(const std::string& log, std::string_view name, std::size_t from) {
  std::vector<Bytes> frames;
  const std::string marker = "<--- " + std::string(name) + " (offset:";
  for (std::size_t at = log.find(marker, from); at != std::string::npos;
       at = log.find(marker, at + 1)) {
    const std::size_t open = log.find('[', at);
    const std::size_t close = log.find(']', open);
    Bytes frame;
    std::istringstream hex(log.substr(open + 1, close - open - 1));
    for (unsigned value = 0; hex >> std::hex >> value;)
      frame.push_back(static_cast<std::uint8_t>(value));
    frames.push_back(std::move(frame));
  }
  return frames;
}

// Lays the image bytes of logged block frames (SYNC, LNG, code, offset LSB, MSB, bytes, CRC)
// into a buffer of `size` bytes.
Bytes ImageFromBlocks(const std::vector<Bytes>& frames, std::size_t size) {
  Bytes image(size, 0);
  for (const Bytes& frame : frames) {
    const std::size_t offset = frame.at(3) | frame.at(4) << 8;
    for (std::size_t i = 5; i + 2 < frame.size() && offset + i - 5 < size; ++i) {
      image[offset + i - 5] = frame[i];
    }
  }
  return image;
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}
void PutLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// What "LOG.dat" must hold for a received image, worked out here from the file's description:
// the image with every counted slot v turned into v * 256 + v / 256 (bytes 4,492..4,531 as they
// came), then the 207 statistics, all little-endian. Also gives the two checksum values.
Bytes ExpectedLogDat(Bytes image, std::uint32_t& a, std::uint32_t& m) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 4534; ++i) sum += image[i];
  m = ~sum;
  for (std::size_t at = 0; at < 4536; at += 4) {
    if (at >= 4492 && at < 4532) continue;
    const std::uint32_t v = Le32(image, at);
    PutLe32(image, at, v * 256u + v / 256u);
  }
  a = Le32(image, 4532);

  const auto head = [&](int b, int r) { return Le32(image, 4 + 1088 * b + 68 * r); };
  const auto cell = [&](int b, int r, int c) { return Le32(image, 8 + 1088 * b + 68 * r + 4 * c); };
  const auto rowTotal = [&](int b, int r) {
    std::uint32_t total = 0;
    for (int c = 0; c < 16; ++c) total += cell(b, r, c);
    return total;
  };
  const auto ratio = [](std::uint32_t x, std::uint32_t y) -> std::uint32_t {
    return x + y == 0 ? 0 : (x * 1000u + (x + y) - 1u) / (x + y);
  };
  std::vector<std::uint32_t> v(207, 0);
  std::uint32_t headTotal = 0, cellTotal = 0;
  for (int r = 0; r < 16; ++r) {
    for (int b = 0; b < 4; ++b) {
      v[3 + r] += head(b, r);
      v[19 + r] += rowTotal(b, r);
      v[67 + 16 * b + r] = rowTotal(b, r);
      v[131 + 16 * b + r] = ratio(head(b, r), rowTotal(b, r));
      v[195 + b] += head(b, r);
      v[199 + b] += rowTotal(b, r);
    }
    headTotal += v[3 + r];
    cellTotal += v[19 + r];
  }
  v[0] = ratio(headTotal, cellTotal);
  v[1] = headTotal;
  v[2] = cellTotal;
  for (int r = 0; r < 16; ++r) v[35 + r] = v[3 + r] == 0 ? 0 : v[3 + r] * 1000u / headTotal;
  for (int c = 0; c < 16; ++c) {
    for (int b = 0; b < 4; ++b) {
      for (int r = 0; r < 16; ++r) v[51 + c] += cell(b, r, c);
    }
  }
  for (int b = 0; b < 4; ++b) v[203 + b] = ratio(v[195 + b], v[199 + b]);

  Bytes file = image;
  file.resize(4536 + 4 * 207);
  for (std::size_t i = 0; i < v.size(); ++i) PutLe32(file, 4536 + 4 * i, v[i]);
  return file;
}

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// A transfer on the validator's command. The one before it ends when the host's last Ack
// arrives, which may be just after the host logged its end; until then the command is refused.
::testing::AssertionResult StartTransfer(HostProcess& host, VirtualValidatorRunner& validator,
                                         const std::string& command) {
  tarvik::validator::CommandReply reply;
  if (host.WaitUntil([&] { return (reply = validator.Command(command)).ok; })) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << command << ": " << reply.text;
}

// Read Log brings the acceptance data: "LOG.dat" in the host's working directory holds exactly
// what the logged blocks make; a transfer with a wrong checksum leaves it alone. Init Log and the
// validator's own Ad transfer each append one record to the Ad data file.
TEST_F(HostRunTest, AcceptanceDataAndAdDataReachTheirFiles) {
  host_.SetWorkingDirectory(dir_.string());
  const std::filesystem::path logDat = dir_ / "LOG.dat";
  const std::filesystem::path adFile = dir_ / "ADDATA.dat";
  ASSERT_TRUE(StartBoth({"--acceptance-log"}));
  ResetValidator();
  if (HasFatalFailure()) return;

  std::size_t from = host_.Out().size();
  host_.Type("2");
  ASSERT_TRUE(WaitForLog(ReceivedText("Acceptance Data End"), 1, from));
  ASSERT_TRUE(host_.WaitUntil([&] { return SizeOf(logDat) == 5364; })) << SizeOf(logDat);
  EXPECT_NE(host_.Out().find("Acceptance Data Request --->\n", from), std::string::npos);
  const auto blocks = LoggedBlocks(host_.Out(), "Acceptance Data", from);
  ASSERT_FALSE(blocks.empty());
  std::uint32_t a = 0;
  std::uint32_t m = 0;
  const Bytes expected = ExpectedLogDat(ImageFromBlocks(blocks, 4536), a, m);
  EXPECT_EQ(a, m);
  EXPECT_NE(host_.Out().find("<--- Check Sum A:" + Hex4(a) + ",M:" + Hex4(m) + "\n", from),
            std::string::npos);
  const Bytes saved = ReadBinary(logDat);
  EXPECT_TRUE(saved == expected) << "LOG.dat differs from the expected file";

  from = host_.Out().size();
  ASSERT_TRUE(StartTransfer(host_, validator_, "acceptance bad"));
  ASSERT_TRUE(WaitForLog("<--- Check Sum Error A:", 1, from));
  EXPECT_TRUE(ReadBinary(logDat) == saved) << "a failed check replaced LOG.dat";

  // Two Ad transfers: Init Log, then one the validator starts itself.
  std::vector<std::size_t> starts;
  for (int transfer = 0; transfer < 2; ++transfer) {
    starts.push_back(host_.Out().size());
    if (transfer == 0) {
      host_.Type("1");
    } else {
      ASSERT_TRUE(StartTransfer(host_, validator_, "ad"));
    }
    ASSERT_TRUE(WaitForLog(ReceivedText("Ad Data End"), 1, starts.back()));
    ASSERT_TRUE(host_.WaitUntil([&] { return SizeOf(adFile) == 3715u * (transfer + 1); }))
        << SizeOf(adFile);
  }
  starts.push_back(host_.Out().size());
  EXPECT_NE(host_.Out().find("Acceptance Data Initialize --->\n", starts[0]), std::string::npos);
  const Bytes records = ReadBinary(adFile);
  for (std::size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const std::string part = host_.Out().substr(starts[k], starts[k + 1] - starts[k]);
    const Bytes ad = ImageFromBlocks(LoggedBlocks(part, "Ad Data", 0), 3210);
    Bytes record(ad.begin(), ad.begin() + 3200);
    record.resize(3712, 0);
    record.insert(record.end(), ad.begin() + 3200, ad.begin() + 3203);
    EXPECT_TRUE(Bytes(records.begin() + static_cast<long>(3715 * k),
                      records.begin() + static_cast<long>(3715 * (k + 1))) == record);
  }
  ExpectCleanExit();
}

}  // namespace
