// The baseline the end-to-end figures are measured against: a host that does the same job in the
// plainest way, a loop that sleeps 1 ms and then looks at everything (the line, the keys, the
// polling time). It polls every --poll ms (0: never), answers ESCROW with STACK-1 and VEND VALID
// with ACK, and sends a version request for every 'V' typed on standard input.
//
//   tarvik_sleep_loop_host --device /dev/pts/3 [--poll 200]
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "protocol/line_codes.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

void SendCommand(int fd, std::uint8_t code) {
  std::array<std::uint8_t, 5> frame{tarvik::kSyncByte, 5, code, 0, 0};
  tarvik::AppendCrc(frame.data(), 3);
  [[maybe_unused]] const ssize_t n = ::write(fd, frame.data(), frame.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  int pollMs = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--device") device = argv[i + 1];
    if (option == "--poll") pollMs = std::atoi(argv[i + 1]);
  }
  if (device.empty()) {
    std::fprintf(stderr, "usage: tarvik_sleep_loop_host --device PATH [--poll MS]\n");
    return 64;
  }
  // A port that does not open leaves the loop running without a line, as the host keeps running.
  const int line = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line < 0) {
    std::fprintf(stderr, "tarvik_sleep_loop_host: %s: %s\n", device.c_str(), std::strerror(errno));
  } else {
    termios raw{};
    ::tcgetattr(line, &raw);
    cfmakeraw(&raw);
    ::tcsetattr(line, TCSANOW, &raw);
  }
  ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
  // Keys from a terminal come one by one, as they do to tarvik-host.
  termios keys{};
  if (::tcgetattr(STDIN_FILENO, &keys) == 0) {
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
  }

  std::vector<std::uint8_t> received;
  std::array<std::uint8_t, 4096> buffer{};
  auto nextPoll = SteadyClock::now() + std::chrono::milliseconds(pollMs);
  bool keysOpen = true;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

    if (keysOpen) {
      const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n == 0) keysOpen = false;
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[static_cast<std::size_t>(i)] == 'V')
          SendCommand(line, tarvik::cmd::kVersionRequest);
      }
    }

    for (ssize_t n; (n = ::read(line, buffer.data(), buffer.size())) > 0;) {
      received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    // Whole frames: SYNC, LNG, CMD, ...; anything else before a SYNC is dropped.
    while (received.size() >= 3) {
      if (received[0] != tarvik::kSyncByte || received[1] < tarvik::kMinFrameLength) {
        received.erase(received.begin());
        continue;
      }
      if (received.size() < received[1]) break;
      const std::uint8_t code = received[2];
      received.erase(received.begin(), received.begin() + received[1]);
      if (code == tarvik::rsp::kEscrow) SendCommand(line, tarvik::cmd::kStack1);
      if (code == tarvik::rsp::kVendValid) SendCommand(line, tarvik::cmd::kAck);
    }

    if (line >= 0 && pollMs > 0 && SteadyClock::now() >= nextPoll) {
      SendCommand(line, tarvik::cmd::kStatusRequest);
      nextPoll = SteadyClock::now() + std::chrono::milliseconds(pollMs);
    }
  }
}
