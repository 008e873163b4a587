#include "transport/low_latency.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace tarvik {

namespace {

// The adapter's latency_timer in milliseconds; 1 is the shortest the chips accept.
constexpr std::string_view kLowLatencyTimer = "1";

// What a fatal signal must undo, kept in plain storage a signal handler may read: the texts are
// written before the flag that publishes them is raised. One port is open at a time.
std::atomic<int> gSignalFlagFd{-1};  // the descriptor whose low-latency flag we raised
std::atomic<bool> gSignalTimerSet{false};
char gSignalTimerPath[512];
char gSignalOldTimer[32];

void RememberForSignal(int fd, const LowLatencyChange& change) {
  if (change.serialFlagSet) gSignalFlagFd.store(fd);
  if (!change.timerPath.empty() && change.timerPath.size() < sizeof gSignalTimerPath &&
      change.oldTimer.size() < sizeof gSignalOldTimer) {
    std::memcpy(gSignalTimerPath, change.timerPath.c_str(), change.timerPath.size() + 1);
    std::memcpy(gSignalOldTimer, change.oldTimer.c_str(), change.oldTimer.size() + 1);
    gSignalTimerSet.store(true);
  }
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The sysfs latency_timer of the tty behind `path` (a by-id link is followed to it).
std::string LatencyTimerPath(const std::string& path, const std::string& sysRoot) {
  std::error_code error;
  const std::filesystem::path device = std::filesystem::canonical(path, error);
  const std::string name = (error ? std::filesystem::path(path) : device).filename().string();
  return sysRoot + "/sys/class/tty/" + name + "/device/latency_timer";
}

bool ReadFileText(const std::string& path, std::string& text) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, text, '\0');
  text = Trimmed(text);
  return !text.empty();
}

// Writes `value`; the reason in `why` when it could not.
bool WriteFileText(const std::string& path, std::string_view value, std::string& why) {
  std::ofstream out(path);
  if (out) out << value << '\n';
  if (out) out.flush();
  if (out) return true;
  why = std::strerror(errno);
  return false;
}

}  // namespace

LowLatencyChange EnterLowLatency(int fd, const std::string& path, const std::string& sysRoot,
                                 std::string& report) {
  LowLatencyChange change;
  std::string flagWhy;
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
      report = "low-latency mode was already on";
      return change;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) == 0) {
      change.serialFlagSet = true;
      RememberForSignal(fd, change);
      report = "low-latency mode on (the driver's low-latency flag); put back on close";
      return change;
    }
    flagWhy = std::string("TIOCSSERIAL: ") + std::strerror(errno);
  } else {
    flagWhy = std::string("TIOCGSERIAL: ") + std::strerror(errno);
  }

  // Adapters whose driver has no flag may still take a shorter latency timer.
  const std::string timerPath = LatencyTimerPath(path, sysRoot);
  std::string oldTimer;
  if (ReadFileText(timerPath, oldTimer)) {
    if (oldTimer == kLowLatencyTimer) {
      report = "low-latency mode was already on (latency timer 1 ms)";
      return change;
    }
    std::string timerWhy;
    if (WriteFileText(timerPath, kLowLatencyTimer, timerWhy)) {
      change.timerPath = timerPath;
      change.oldTimer = oldTimer;
      RememberForSignal(fd, change);
      report = "low-latency mode on (latency timer " + oldTimer + " ms -> 1 ms, " + timerPath +
               "); put back on close";
      return change;
    }
    report = "low-latency mode not set: " + flagWhy + "; " + timerPath + ": " + timerWhy +
             " (write access to it, or root, lets the host shorten the adapter's latency)";
    return change;
  }
  report = "low-latency mode not supported by this device (" + flagWhy + ", no latency timer)";
  return change;
}

std::string LeaveLowLatency(int fd, const LowLatencyChange& change) {
  if (change.serialFlagSet) gSignalFlagFd.store(-1);
  if (!change.timerPath.empty()) gSignalTimerSet.store(false);
  std::string why;
  if (change.serialFlagSet) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags &= ~ASYNC_LOW_LATENCY;
      if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        why = std::string("low-latency flag not cleared: TIOCSSERIAL: ") + std::strerror(errno);
      }
    } else if (errno != EIO && errno != ENODEV && errno != ENXIO) {
      why = std::string("low-latency flag not cleared: TIOCGSERIAL: ") + std::strerror(errno);
    }
  }
  if (!change.timerPath.empty()) {
    std::string timerWhy;
    if (!WriteFileText(change.timerPath, change.oldTimer, timerWhy) &&
        std::filesystem::exists(change.timerPath)) {
      why = "latency timer not put back to " + change.oldTimer + " ms: " + change.timerPath + ": " +
            timerWhy;
    }
  }
  return why;
}

void UndoLowLatencyForSignal() {
  if (const int fd = gSignalFlagFd.exchange(-1); fd >= 0) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags &= ~ASYNC_LOW_LATENCY;
      ::ioctl(fd, TIOCSSERIAL, &serial);
    }
  }
  if (gSignalTimerSet.exchange(false)) {
    const int file = ::open(gSignalTimerPath, O_WRONLY | O_CLOEXEC);
    if (file >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(file, gSignalOldTimer, ::strlen(gSignalOldTimer));
      ::close(file);
    }
  }
}

}  // namespace tarvik
