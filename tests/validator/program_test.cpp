// The tarvik-validator program as a host engineer runs it: options, script, stdin commands, the
// pty it prints first, the trace on stderr, and the end on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "pty_host.h"

extern char** environ;

namespace tarvik::validator {
namespace {

using testing::PtyHost;

constexpr int kWaitMs = 5000;  // bound on every wait for the child; normally a few ms

class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    args.insert(args.begin(), TARVIK_VALIDATOR_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  void Type(const std::string& text) {
    ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void EndInput() {
    ::close(stdin_);
    stdin_ = -1;
  }

  // The next line on stdout, waiting at most kWaitMs.
  std::string Line() {
    for (;;) {
      const auto newline = outText_.find('\n');
      if (newline != std::string::npos) {
        std::string line = outText_.substr(0, newline);
        outText_.erase(0, newline + 1);
        return line;
      }
      if (!ReadInto(stdout_, outText_)) return "(no line)";
    }
  }

  // Waits for the exit; returns the exit status, or -1 if it does not come in time.
  int Wait() {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd pfd{pidfd, POLLIN, 0};
      ::poll(&pfd, 1, kWaitMs);
      ::close(pidfd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  bool Running() { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  void Signal(int sig) { ::kill(pid_, sig); }

  std::string Stderr() {
    std::string text;
    while (ReadInto(stderr_, text)) {
    }
    return text;
  }

 private:
  static bool ReadInto(int fd, std::string& text) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, kWaitMs) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    text.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string outText_;
};

TEST(ProgramTest, ScriptThenStdinThenServesUntilSigterm) {
  const std::string script = ::testing::TempDir() + "validator_script.txt";
  std::ofstream(script) << "# a failure for the host to show\nwait 1\nerror failure 07\n";
  Program program({"--pty", "--script", script});
  const std::string path = program.Line();
  ASSERT_TRUE(path.starts_with("/dev/")) << path;
  PtyHost host;
  ASSERT_TRUE(host.Open(path));

  program.Type("bogus\nshow\n");
  EXPECT_TRUE(program.Line().starts_with("state error")) << "the script ran before stdin";
  EXPECT_EQ(host.Exchange(0x11), "49 07");

  // With --pty the end of stdin does not end the validator.
  program.EndInput();
  EXPECT_EQ(host.Exchange(0x83), "83 00");
  EXPECT_TRUE(program.Running());

  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0);
  const std::string trace = program.Stderr();
  EXPECT_NE(trace.find("RX FC 05 11 27 56  STATUS REQUEST"), std::string::npos) << trace;
  EXPECT_NE(trace.find("TX FC 06 49 07"), std::string::npos) << trace;
  EXPECT_NE(trace.find("! unknown command 'bogus'"), std::string::npos) << trace;
}

TEST(ProgramTest, QuitEndsIt) {
  Program program({"--pty"});
  ASSERT_TRUE(program.Line().starts_with("/dev/"));
  program.Type("quit\n");
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ProgramTest, BadArgumentsAreRefused) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{}, 2},
      {{"--pty", "--device", "/dev/null"}, 2},
      {{"--pty", "--baud", "1234"}, 2},
      {{"--pty", "--baud"}, 2},
      {{"--pty", "--auto-notes", "0"}, 2},
      {{"--pty", "--block-size", "249"}, 2},
      {{"--pty", "--bogus"}, 2},
      {{"--device", "/nonexistent/ttyV0"}, 1},
      {{"--pty", "--script", "/nonexistent/script"}, 1},
      {{"--help"}, 0},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    Program program(c.args);
    EXPECT_EQ(program.Wait(), c.status);
  }
}

}  // namespace
}  // namespace tarvik::validator
