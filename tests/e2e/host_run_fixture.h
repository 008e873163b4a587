// The end-to-end fixture: the built tarvik-host on the console against the virtual validator,
// which runs in the test process on a pseudo-terminal. A test plays the operator: it types keys
// into the host's standard input only once the log shows the previous exchange done, as a person
// at the window would, and asserts on the communication log (standard output) and on the window
// effects (standard error).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

#include "support/scratch_dir.h"
#include "support/text_count.h"
#include "validator/validator_runner.h"
#include "validator/validator_texts.h"

extern char** environ;

namespace tarvik::e2e {

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
inline std::string Sent(std::string_view name, std::string_view hex) {
  return std::string(name) + " --->\n[" + std::string(hex) + "]\n";
}
inline std::string Received(std::string_view text, std::string_view hex) {
  return "              <--- " + std::string(text) + "\n                   [" + std::string(hex) +
         "]\n";
}
inline std::string ReceivedText(std::string_view text) {
  return "              <--- " + std::string(text) + "\n";
}

// A long log with its middle left out: a failed wait has polled for many seconds, and what
// matters is how the run began and where it stood.
inline std::string Elided(const std::string& text) {
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

using testing::Count;

// Each of `items` appears in `log` after the one before it, the first at or after `from`.
inline ::testing::AssertionResult InOrder(const std::string& log,
                                          const std::vector<std::string>& items,
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

  // `environment`: NAME=value settings added to (or replacing) this process's own.
  ::testing::AssertionResult Start(const std::vector<std::string>& args,
                                   const std::vector<std::string>& environment = {}) {
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
    std::vector<std::string> env(environment);
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& own) {
        return entry.substr(0, entry.find('=') + 1) == own.substr(0, own.find('=') + 1);
      });
      if (!replaced) env.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, TARVIK_HOST_BINARY, &actions, nullptr, argv.data(), envp.data());
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

  void Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
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

  // Reads what the host writes for `ms` milliseconds.
  void ReadFor(int ms) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    while (SteadyClock::now() < deadline && ReadSome(deadline)) {
    }
  }

  // Reads what the host writes until `done` holds; false when the limit passed first.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = kWaitLimit) {
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
  pid_t Pid() const { return pid_; }

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
  HostRunTest() { SetPollingMs(kPollingMs); }

  void TearDown() override {
    validator_.Stop();
    if (!HasFailure()) return;
    std::cerr << "---- host standard output ----\n"
              << Elided(host_.Out()) << "---- host standard error ----\n"
              << Elided(host_.Err()) << "---- validator trace ----\n"
              << Elided(Trace());
  }

  // The settings file with the host's polling period; a test that must own every frame on the
  // line writes kNoPollingMs before it starts the host.
  void SetPollingMs(int ms) {
    std::ofstream(settings_) << "[BEXALTOOL]\nPOLLING DURATION=" << ms << "\n";
  }

  // The host on the console; input stays open for Type() until EndInput(). The fixture's own
  // options come first, so an option in `args` left without its value stays so.
  ::testing::AssertionResult StartHost(std::vector<std::string> args) {
    args.insert(args.begin(), {"--console", "--settings", settings_});
    return host_.Start(args);
  }

  // The validator with its mechanism sped up and its trace kept for the failure report.
  // `initializeMs`: how long the validator reports INITIALIZE after a reset; a test that must
  // see it on a loaded machine gives it longer.
  RunnerOptions ValidatorOptions(int initializeMs = kInitializeMs) {
    RunnerOptions options;
    options.timings.initializeMs = initializeMs;
    options.timings.acceptingMs = 100;
    options.timings.stackingMs = 150;
    options.timings.stackedMs = 100;
    options.timings.returningMs = 150;
    options.trace = [this](std::string_view line) {
      std::lock_guard lock(traceMutex_);
      trace_.emplace_back(line);
    };
    return options;
  }

  // Trace lines that begin with `prefix`, from line `from` on; and the lines so far.
  std::size_t TraceCount(std::string_view prefix, std::size_t from = 0) {
    std::lock_guard lock(traceMutex_);
    const auto first = trace_.begin() + static_cast<std::ptrdiff_t>(std::min(from, trace_.size()));
    return static_cast<std::size_t>(std::count_if(
        first, trace_.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
  }
  std::size_t TraceSize() {
    std::lock_guard lock(traceMutex_);
    return trace_.size();
  }

  // The validator, and the host on its line. `hostArgs`: more options for the host.
  ::testing::AssertionResult StartBoth(int initializeMs = kInitializeMs,
                                       std::vector<std::string> hostArgs = {}) {
    const RunnerOptions options = ValidatorOptions(initializeMs);
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

  // The validator's trace so far, a line each.
  std::string Trace() {
    std::lock_guard lock(traceMutex_);
    std::string text;
    for (const std::string& line : trace_) text += line + '\n';
    return text;
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

  // A plain reset, then the validator idles; both seen in the log at or after `from`.
  void ResetValidator(std::size_t from = 0) {
    host_.Type("r");
    ASSERT_TRUE(WaitForLog(Received("ACK", kAckFrame), 1, from));
    ASSERT_TRUE(WaitForLog(ReceivedText("IDLING"), 1, from));
  }

  // End of input: the host lets the last exchange finish and exits with 0.
  void ExpectCleanExit() {
    host_.EndInput();
    EXPECT_EQ(host_.WaitForExit(), 0);
  }

  static constexpr std::string_view kAckFrame = "FC 05 50 AA 05";
  static constexpr int kInitializeMs = 150;
  // A polling period no run reaches: every frame on the line is one the test asked for.
  static constexpr int kNoPollingMs = 30000;

  // First in, last out: the directory goes only after the host has ended.
  tarvik::testing::ScratchDir scratch_{"host-validator"};
  const std::filesystem::path dir_ = scratch_.Path();
  const std::string settings_ = (dir_ / "BEXALTOOL.INI").string();
  HostProcess host_;
  VirtualValidatorRunner validator_;

 private:
  std::mutex traceMutex_;  // guards trace_, filled on the validator's thread
  std::vector<std::string> trace_;
};

}  // namespace tarvik::e2e
