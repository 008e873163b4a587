// The built tarvik-host with its three standard streams on pipes, for end-to-end tests that play
// the operator (type keys, read the log) and judge the exit status.
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
#include <functional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace tarvik::e2e {

// Every wait is bounded by this, generous for a loaded machine and the sanitizers; a run that
// goes well takes a fraction of it.
inline constexpr auto kHostWaitLimit = std::chrono::seconds(15);

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
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHostWaitLimit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline || !ReadSome(deadline)) return done();
    }
    return true;
  }

  // Waits for the end of the process, reading its output to the end; -1 past the limit.
  int WaitForExit() {
    const auto deadline = std::chrono::steady_clock::now() + kHostWaitLimit;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;  // the destructor ends it
      ::poll(nullptr, 0, 10);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& Out() const { return outText_; }
  const std::string& Err() const { return errText_; }

 private:
  // Takes one chunk of output; false when both streams have ended or the deadline passed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    std::array<pollfd, 2> fds{{{out_, POLLIN, 0}, {err_, POLLIN, 0}}};
    if (out_ < 0 && err_ < 0) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
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

}  // namespace tarvik::e2e
