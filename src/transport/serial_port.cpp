#include "transport/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "transport/device_naming.h"
#include "transport/port_access.h"
#include "transport/port_release.h"

namespace tarvik {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A transfer waiting for the device wakes this often to see whether Close wants the port, so the
// window thread never waits out a whole write time-out (up to 132 s for a 255-byte frame).
constexpr int kWaitSliceMs = 50;

speed_t SpeedFor(int baudRate) {
  switch (baudRate) {
    case kBaud19200:
      return B19200;
    case kBaud38400:
      return B38400;
    default:
      return B9600;
  }
}

int EffectiveRate(int baudRate) {
  return baudRate == kBaud19200 || baudRate == kBaud38400 ? baudRate : kBaud9600;
}

// Errors after which the descriptor is useless: the device was unplugged or hung up.
bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

enum class Wait { Ready, TimedOut, HungUp, Interrupted };

// Waits until `fd` is ready for `events`, the device hangs up, `deadline` passes or `cancel` is
// raised (checked every slice).
Wait WaitFor(int fd, short events, SteadyClock::time_point deadline,
             const std::atomic<bool>& cancel) {
  for (;;) {
    if (cancel.load()) return Wait::Interrupted;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return Wait::TimedOut;
    pollfd p{fd, events, 0};
    const int slice = static_cast<int>(std::min<long long>(left.count(), kWaitSliceMs));
    const int r = ::poll(&p, 1, slice);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Wait::HungUp;
    }
    if (r == 0) continue;
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Wait::HungUp;
    if ((p.revents & events) != 0) return Wait::Ready;
  }
}

SteadyClock::time_point DeadlineFor(std::uint32_t count, int perByteMs, int baseMs) {
  const long long ms = static_cast<long long>(perByteMs) * count + baseMs;
  return SteadyClock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

int BaudRateFromIndex(int index) {
  switch (index) {
    case 1:
      return kBaud19200;
    case 2:
      return kBaud38400;
    default:
      return kBaud9600;
  }
}

int PortNumberFromIndex(int index) {
  // The settings file applies no range test; a negative index (or one with no successor) names
  // no port rather than wrapping round to one.
  if (index < 0 || index == std::numeric_limits<int>::max()) return 0;
  return index + 1;
}

termios MakeLineSettings(const termios& current, int baudRate) {
  termios t = current;
  cfmakeraw(&t);
  // Every received byte is handed on as it came, damaged or not: the receiver's length and CRC
  // checks decide about the frame, and a dropped or replaced byte would only shift it.
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
  cfsetispeed(&t, SpeedFor(baudRate));
  cfsetospeed(&t, SpeedFor(baudRate));
  return t;
}

bool LineSettingsKept(const termios& wanted, const termios& kept, bool isPty) {
  constexpr tcflag_t kShape = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  const tcflag_t want = wanted.c_cflag & kShape;
  const tcflag_t got = kept.c_cflag & kShape;
  const bool shapeKept = got == want || (isPty && got == (want & ~static_cast<tcflag_t>(PARENB)));
  return shapeKept && cfgetospeed(&kept) == cfgetospeed(&wanted) &&
         cfgetispeed(&kept) == cfgetispeed(&wanted);
}

SerialPort::SerialPort(std::string deviceRoot)
    : deviceRoot_(std::move(deviceRoot)),
      noticeSink_([](const std::string& device, const std::string& text) {
        std::fprintf(stderr, "tarvik-host: serial port %s: %s\n", device.c_str(), text.c_str());
      }) {}

void SerialPort::SetNoticeSink(NoticeSink sink) {
  std::lock_guard lock(mutex_);
  noticeSink_ = std::move(sink);
}

SerialPort::~SerialPort() { Close(); }

int SerialPort::Open(int portNumber, int baudRate) {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) return 1;

  const std::string path = DeviceForPort(portNumber);
  if (path.empty()) {
    return RefuseOpen("no serial device is COM" + std::to_string(portNumber) +
                      " on this machine. Connect the validator, pick another COM port or give "
                      "--device PATH.");
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RefuseOpen(ExplainOpenError(path, errno));

  bool exclusive = false;
  // The reason is worked out after the descriptor is closed, so this process never shows up as
  // the holder of a device it could not take.
  const auto refuse = [&](auto explain) {
    const int error = errno;
    if (exclusive) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return RefuseOpen(explain(error));
  };
  const auto failedStep = [&path](const char* step) {
    return [&path, step](int error) { return path + ": " + step + ": " + std::strerror(error); };
  };

  // TIOCEXCL keeps other programs out, but not a privileged one; the lock keeps out a second copy
  // of this program whoever runs it. The lock comes first so that a refused second opener never
  // clears the first one's exclusive mode.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return refuse([&path](int error) { return ExplainOpenError(path, error); });
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    // A regular file or a FIFO named by mistake opens fine; only here does it show.
    if (errno == ENOTTY) {
      return refuse([&path](int) {
        return path +
               ": not a serial device (a file, a FIFO or another non-terminal). Give the "
               "validator's serial device, e.g. /dev/ttyUSB0.";
      });
    }
    return refuse(failedStep("exclusive use refused"));
  }
  exclusive = true;

  termios current{};
  if (::tcgetattr(fd, &current) != 0) return refuse(failedStep("not a serial device"));
  const termios wanted = MakeLineSettings(current, baudRate);
  const bool isPty = IsPseudoTerminal(fd, path);
  const auto settingsRefused = [&path, baudRate](int) {
    return path + ": the device does not keep 8 data bits, even parity, 1 stop bit at " +
           std::to_string(EffectiveRate(baudRate)) + " baud.";
  };
  if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
    // A pseudo-terminal refuses a change that is only the parity bit; it takes the rest.
    termios withoutParity = wanted;
    withoutParity.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    if (!isPty || ::tcsetattr(fd, TCSANOW, &withoutParity) != 0) return refuse(settingsRefused);
  }
  // tcsetattr succeeds when any part of the request was applied, so only a read-back tells
  // whether the device really runs 8E1 at the rate.
  termios kept{};
  if (::tcgetattr(fd, &kept) != 0 || !LineSettingsKept(wanted, kept, isPty)) {
    return refuse(settingsRefused);
  }

  fd_ = fd;
  exclusiveSet_ = exclusive;
  RecordExclusivePort(fd_);
  std::string report;
  lowLatency_ = EnterLowLatency(fd_, path, deviceRoot_, report);
  if (noticeSink_) noticeSink_(path, report);
  {
    std::lock_guard info(infoMutex_);
    openDevice_ = path;
    openBaudRate_ = EffectiveRate(baudRate);
    openFailure_.clear();
  }
  waitDescriptor_.store(fd_);
  return 1;
}

int SerialPort::RefuseOpen(std::string reason) {
  std::lock_guard info(infoMutex_);
  openFailure_ = std::move(reason);
  return 0;
}

std::string SerialPort::OpenFailureReason() const {
  std::lock_guard info(infoMutex_);
  return openFailure_;
}

int SerialPort::Close() {
  // Wakes a transfer waiting on the device so the lock is free within one wait slice.
  closeRequested_.store(true);
  std::lock_guard lock(mutex_);
  CloseLocked();
  closeRequested_.store(false);
  return 1;
}

void SerialPort::CloseLocked() {
  if (fd_ < 0) return;
  const std::string notRestored = LeaveLowLatency(fd_, lowLatency_);
  lowLatency_ = {};
  if (!notRestored.empty() && noticeSink_) {
    // The sink is the caller's code: it runs without infoMutex_, so it may ask about the port.
    noticeSink_(OpenDevice(), notRestored);
  }
  // The exclusive mode belongs to the terminal, not the descriptor: left set, it would outlive
  // this descriptor whenever another one stays open, and shut out the next open.
  ForgetExclusivePort(fd_);
  if (exclusiveSet_) ::ioctl(fd_, TIOCNXCL);
  // The lock belongs to the open file, which lives on after close() while another thread is
  // still inside poll() on the descriptor (the worker's wait): released here, a reopen right
  // after the close (the Properties dialog's OK) is not refused by our own stale lock.
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  exclusiveSet_ = false;
  waitDescriptor_.store(-1);
  std::lock_guard info(infoMutex_);
  openDevice_.clear();
  openBaudRate_ = 0;
}

bool SerialPort::DropIfHungUpLocked() {
  // No events asked for: poll still reports a hang-up or an error of the device.
  pollfd p{fd_, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    CloseLocked();
    return true;
  }
  return false;
}

int SerialPort::QueuedLocked() const {
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0) return -1;
  return queued;
}

template <typename Step>
bool SerialPort::TransferLocked(std::uint32_t count, short events,
                                std::chrono::steady_clock::time_point deadline, Step step) {
  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t n = step(done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    // A terminal reads end-of-file only once it has been hung up.
    if (n == 0 && events == POLLIN) {
      CloseLocked();
      return false;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (DeviceGone(errno)) CloseLocked();
      return false;
    }
    switch (WaitFor(fd_, events, deadline, closeRequested_)) {
      case Wait::Ready:
        break;
      case Wait::HungUp:
        CloseLocked();
        return false;
      case Wait::TimedOut:
      case Wait::Interrupted:
        return false;
    }
  }
  return true;
}

int SerialPort::Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) {
  if (closeRequested_.load()) return 0;
  std::lock_guard lock(mutex_);
  if (fd_ < 0 || (bytes == nullptr && count > 0)) return 0;
  // The termios driver keeps no error latch to clear: parity and framing faults arrive as bytes
  // in the queue, so asking for the queue level is all that precedes a transfer. The host never
  // sends while a frame from the validator is still unread; a device found gone is closed.
  if (ReadableLocked() > 0 || fd_ < 0) return 0;

  const auto deadline = DeadlineFor(count, timeouts_.writePerByteMs, timeouts_.writeBaseMs);
  const bool done = TransferLocked(count, POLLOUT, deadline, [&](std::uint32_t sent) {
    return ::write(fd_, bytes + sent, count - sent);
  });
  if (!done) return 0;
  written = count;
  return 1;
}

int SerialPort::ReadableLocked() {
  if (fd_ < 0 || DropIfHungUpLocked()) return 0;
  const int queued = QueuedLocked();
  if (queued < 0) {
    CloseLocked();
    return 0;
  }
  return queued;
}

int SerialPort::Read(std::uint8_t* buffer, std::uint32_t count) {
  if (closeRequested_.load()) return 0;
  std::lock_guard lock(mutex_);
  if (count == 0 || buffer == nullptr) return 0;
  if (static_cast<std::uint32_t>(ReadableLocked()) < count) return 0;

  // The bytes are already counted in the queue, so this loop normally ends at its first read;
  // the time-out only bounds a driver that hands them over in pieces.
  const auto deadline = DeadlineFor(count, timeouts_.readPerByteMs, timeouts_.readBaseMs);
  const bool done = TransferLocked(count, POLLIN, deadline, [&](std::uint32_t got) {
    return ::read(fd_, buffer + got, count - got);
  });
  if (!done) return 0;
  return static_cast<int>(count);
}

int SerialPort::ReadAvailable(std::uint8_t* buffer, std::uint32_t count) {
  if (closeRequested_.load()) return 0;
  std::lock_guard lock(mutex_);
  if (count == 0 || buffer == nullptr) return 0;
  const std::uint32_t wanted = std::min(count, static_cast<std::uint32_t>(ReadableLocked()));
  if (wanted == 0) return 0;
  // Counted in the queue already: one read normally takes them all. Whatever it took is handed
  // over, so no received byte is ever dropped here.
  const ssize_t n = ::read(fd_, buffer, wanted);
  return n > 0 ? static_cast<int>(n) : 0;
}

bool SerialPort::WaitReadable(int ms) {
  const int fd = waitDescriptor_.load();
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  // A hang-up also ends the wait; the next transfer then finds the device gone and closes it.
  return ::poll(&p, 1, std::max(ms, 0)) > 0 && (p.revents & POLLIN) != 0;
}

bool SerialPort::IsOpen() const { return waitDescriptor_.load() >= 0; }

std::string SerialPort::DeviceForPort(int portNumber) const {
  {
    std::lock_guard lock(infoMutex_);
    if (!deviceOverride_.empty()) return deviceOverride_;
  }
  return DevicePathForPort(portNumber, deviceRoot_);
}

std::string SerialPort::DisplayTextForPort(int portNumber) const {
  return PortDisplayText(portNumber, DeviceForPort(portNumber));
}

void SerialPort::SetDeviceOverride(std::string path) {
  std::lock_guard lock(infoMutex_);
  deviceOverride_ = std::move(path);
}

std::string SerialPort::OpenDevice() const {
  std::lock_guard lock(infoMutex_);
  return openDevice_;
}

int SerialPort::OpenBaudRate() const {
  std::lock_guard lock(infoMutex_);
  return openBaudRate_;
}

void SerialPort::SetTimeouts(const TransferTimeouts& timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
}

}  // namespace tarvik
