#include "validator/validator_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tarvik::validator {

namespace {

constexpr int kBitsPerByte = 11;

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    default:
      return B9600;
  }
}

std::string Describe(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

void MakeRaw(termios& tio, int baud, bool parity) {
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
  if (parity) {
    tio.c_cflag |= PARENB;
    tio.c_cflag &= ~static_cast<tcflag_t>(PARODD);
  }
  // With VMIN and VTIME 0 a read returns what is there; poll() does the waiting.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, SpeedOf(baud));
  cfsetospeed(&tio, SpeedOf(baud));
}

void SleepUntil(const timespec& when) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

}  // namespace

long ByteTimeMicros(int baud) { return baud > 0 ? kBitsPerByte * 1000000L / baud : 0; }

bool IsSupportedBaud(int baud) { return baud == 9600 || baud == 19200 || baud == 38400; }

ValidatorPort::~ValidatorPort() { Close(); }

void ValidatorPort::Close() {
  if (fd_ >= 0) ::close(fd_);
  if (spareSlaveFd_ >= 0) ::close(spareSlaveFd_);
  fd_ = -1;
  spareSlaveFd_ = -1;
  path_.clear();
}

bool ValidatorPort::OpenPty(std::string& error) {
  Close();
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    error = Describe("cannot create", "a pseudo-terminal");
    return false;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    error = Describe("cannot prepare", "the pseudo-terminal");
    ::close(master);
    return false;
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    error = Describe("cannot open", name);
    ::close(master);
    return false;
  }
  termios tio{};
  if (::tcgetattr(slave, &tio) == 0) {
    MakeRaw(tio, 9600, false);
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  fd_ = master;
  spareSlaveFd_ = slave;
  path_ = name;
  return true;
}

bool ValidatorPort::OpenDevice(const std::string& path, int baud, std::string& error,
                               std::string& warning) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = Describe("cannot open", path);
    return false;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    error = Describe("not a serial line:", path);
    ::close(fd);
    return false;
  }
  termios wanted = tio;
  MakeRaw(wanted, baud, true);
  termios got{};
  bool parityKept = ::tcsetattr(fd, TCSANOW, &wanted) == 0 && ::tcgetattr(fd, &got) == 0 &&
                    (got.c_cflag & PARENB) != 0;
  if (!parityKept) {
    // Pseudo-terminals have no parity; take the line without it rather than not at all.
    MakeRaw(wanted, baud, false);
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
      error = Describe("cannot set up", path);
      ::close(fd);
      return false;
    }
    warning = path + " keeps no even parity (a pseudo-terminal?); using it without";
  }
  // Whatever was on the line before the validator existed is nobody's frame.
  ::tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  path_ = path;
  return true;
}

// The descriptor is non-blocking: the runner waits in poll(), where a wake-up can reach it, and
// never inside read() or write().
long ValidatorPort::ReadSome(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0) return -1;
  const ssize_t n = ::read(fd_, buffer, size);
  if (n > 0) return static_cast<long>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // EIO on a master whose slave is closed, or end of file on a device that went away.
  return -1;
}

bool ValidatorPort::WriteAll(std::span<const std::uint8_t> bytes, int baud,
                             const std::atomic<bool>* stop) {
  if (fd_ < 0) return false;
  const long byteMicros = ByteTimeMicros(baud);
  timespec next{};
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (stop != nullptr && stop->load()) return false;
    // Paced bytes go one at a time on an absolute schedule, so the time write() itself takes
    // does not add up over a long frame.
    const std::size_t chunk = byteMicros > 0 ? 1 : bytes.size() - done;
    const ssize_t n = ::write(fd_, bytes.data() + done, chunk);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      if (byteMicros > 0) {
        next.tv_nsec += byteMicros * 1000L;
        while (next.tv_nsec >= 1000000000L) {
          next.tv_nsec -= 1000000000L;
          ++next.tv_sec;
        }
        SleepUntil(next);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd pfd{fd_, POLLOUT, 0};
    if (::poll(&pfd, 1, kWriteTimeoutMs) <= 0) return false;
  }
  return true;
}

}  // namespace tarvik::validator
