// A pseudo-terminal pair made by the test itself: the port under test opens the slave by its
// path, the test plays the validator on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::testing {

class PtyPair {
 public:
  PtyPair() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
  }
  ~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& SlavePath() const { return path_; }
  int Slave() const { return slave_; }
  int Master() const { return master_; }

  // The far end goes away, as when the validator's side of the line is closed.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // The slave's settings as the master sees them.
  termios Settings() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
  }

  // The "validator" sends `bytes`.
  bool Send(const std::vector<std::uint8_t>& bytes) const {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // A pty hands bytes to the other side asynchronously; waits until `count` bytes sit in the
  // slave's receive queue (false after two seconds).
  bool WaitQueued(int count) const {
    for (int i = 0; i < 2000; ++i) {
      int queued = 0;
      if (::ioctl(slave_, FIONREAD, &queued) == 0 && queued >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // The first `count` bytes the host sends (fewer when none come for two seconds).
  std::vector<std::uint8_t> ReceiveFromHost(std::size_t count) const {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0 || (p.revents & POLLIN) == 0) break;
      std::uint8_t chunk[512];
      const std::size_t want = std::min(count - bytes.size(), sizeof chunk);
      const ssize_t n = ::read(master_, chunk, want);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  // Fills the line towards the master until the kernel takes no more, as a far end that stops
  // reading would; returns the number of bytes it took. The pty moves bytes to the master's side
  // in the background and so makes room again, hence the rounds until one takes nothing.
  std::size_t FillTowardsMaster() const {
    const int flags = ::fcntl(slave_, F_GETFL);
    ::fcntl(slave_, F_SETFL, flags | O_NONBLOCK);
    std::size_t total = 0;
    const std::vector<std::uint8_t> block(4096, 0x55);
    for (int round = 0; round < 200; ++round) {
      std::size_t taken = 0;
      for (std::size_t size : {block.size(), std::size_t{1}}) {
        for (;;) {
          const ssize_t n = ::write(slave_, block.data(), size);
          if (n <= 0) break;
          taken += static_cast<std::size_t>(n);
        }
      }
      total += taken;
      if (taken == 0 && round > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::fcntl(slave_, F_SETFL, flags);
    return total;
  }

  // Reads and drops everything waiting at the master.
  void DrainMaster() const {
    std::uint8_t chunk[4096];
    while (::read(master_, chunk, sizeof chunk) > 0) {
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace tarvik::testing
