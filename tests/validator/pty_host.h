// The host's end of a pty for the runner and program tests: raw, non-blocking, and reads that
// wait for whole frames with a bounded poll, never a sleep.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "validator_test_support.h"

namespace tarvik::validator::testing {

class PtyHost {
 public:
  PtyHost() = default;
  explicit PtyHost(int fd) : fd_(fd) {}
  PtyHost(const PtyHost&) = delete;
  PtyHost& operator=(const PtyHost&) = delete;
  ~PtyHost() { Close(); }

  bool Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(const std::vector<std::uint8_t>& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until `count` whole frames have come (by their LNG) or `timeoutMs` has passed, and
  // returns them as Joined() text.
  std::string Receive(std::size_t count = 1, int timeoutMs = 3000) {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Complete(bytes) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
      std::uint8_t chunk[512];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return Joined(bytes);
  }

  std::string Exchange(std::uint8_t code, std::vector<std::uint8_t> data = {}) {
    if (!Send(HostFrame(code, data))) return "(write failed)";
    return Receive();
  }

 private:
  static std::size_t Complete(const std::vector<std::uint8_t>& bytes) {
    std::size_t frames = 0;
    std::size_t at = 0;
    while (at + 1 < bytes.size() && bytes[at + 1] >= 5 && at + bytes[at + 1] <= bytes.size()) {
      at += bytes[at + 1];
      ++frames;
    }
    return frames;
  }

  int fd_ = -1;
};

}  // namespace tarvik::validator::testing
