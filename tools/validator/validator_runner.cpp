#include "validator/validator_runner.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace tarvik::validator {

namespace {
// Longest sleep with nothing due: only a wake-up or bytes can change anything then, and both
// end the sleep, so this only bounds how stale the clock may get.
constexpr int kIdleWaitMs = 1000;
// After the line reports a hang-up: how long to wait before trying it again, so a line with
// no peer costs no CPU.
constexpr int kHangupRetryMs = 50;
constexpr std::size_t kReadChunk = 512;
}  // namespace

VirtualValidatorRunner::~VirtualValidatorRunner() { Stop(); }

bool VirtualValidatorRunner::Start(RunnerOptions options, std::string* error,
                                   std::string* warning) {
  if (Running()) {
    if (error) *error = "already running";
    return false;
  }
  options_ = std::move(options);
  std::string why;
  std::string note;
  const bool opened = options_.devicePath.empty()
                          ? port_.OpenPty(why)
                          : port_.OpenDevice(options_.devicePath, options_.baud, why, note);
  if (!opened) {
    if (error) *error = why;
    return false;
  }
  if (warning) *warning = note;
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    if (error) *error = std::string("cannot create an eventfd: ") + std::strerror(errno);
    port_.Close();
    return false;
  }
  path_ = port_.Path();
  model_ = VirtualValidator(options_.timings);
  model_.SetTraceSink(options_.trace);
  epoch_ = std::chrono::steady_clock::now();
  if (options_.startIdle) model_.SkipPowerUp(0);
  if (options_.autoNotesMs > 0) {
    model_.SetAutoNotes(options_.autoNotesMs, 0, options_.firstNoteMs);
  }
  stop_ = false;
  {
    std::lock_guard lock(mutex_);
    accepting_ = true;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void VirtualValidatorRunner::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
  std::deque<Request> left;
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    left.swap(requests_);
    ::close(wakeFd_);
    wakeFd_ = -1;
  }
  for (Request& request : left) request.reply.set_value({false, "the validator has stopped"});
  port_.Close();
}

CommandReply VirtualValidatorRunner::Command(std::string_view line) {
  std::future<CommandReply> reply;
  {
    std::lock_guard lock(mutex_);
    if (!accepting_) return {false, "the validator is not running"};
    requests_.push_back({std::string(line), {}});
    reply = requests_.back().reply.get_future();
    WakeLocked();
  }
  return reply.get();
}

void VirtualValidatorRunner::Wake() {
  std::lock_guard lock(mutex_);
  WakeLocked();
}

void VirtualValidatorRunner::WakeLocked() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

Millis VirtualValidatorRunner::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               epoch_)
      .count();
}

void VirtualValidatorRunner::ServeRequests(Millis now) {
  std::deque<Request> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(requests_);
  }
  for (Request& request : batch) request.reply.set_value(model_.Command(request.line, now));
}

void VirtualValidatorRunner::Send(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return;
  const int baud = options_.pace ? options_.baud : 0;
  if (!port_.WriteAll(bytes, baud, &stop_) && !stop_ && options_.trace) {
    options_.trace("-- write failed: " + std::to_string(bytes.size()) + " bytes lost");
  }
}

void VirtualValidatorRunner::Run() {
  std::array<std::uint8_t, kReadChunk> buffer{};
  bool hungUp = false;
  while (!stop_) {
    Millis now = Now();
    int timeout = kIdleWaitMs;
    if (const auto due = model_.NextDue()) {
      timeout = static_cast<int>(std::clamp<Millis>(*due - now, 0, kIdleWaitMs));
    }
    if (hungUp) timeout = std::min(timeout, kHangupRetryMs);
    std::array<pollfd, 2> fds{{{wakeFd_, POLLIN, 0}, {port_.Fd(), POLLIN, 0}}};
    const nfds_t count = hungUp ? 1 : 2;
    if (::poll(fds.data(), count, timeout) < 0 && errno != EINTR) break;
    now = Now();
    if (fds[0].revents & POLLIN) {
      std::uint64_t value = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &value, sizeof value);
      ServeRequests(now);
    }
    // Read even after a hang-up report: a host may have opened the line again meanwhile.
    if (hungUp || (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      hungUp = false;
      for (;;) {
        const long n = port_.ReadSome(buffer.data(), buffer.size());
        if (n < 0) {
          hungUp = true;
          break;
        }
        if (n == 0) break;
        Send(model_.Feed(std::span(buffer.data(), static_cast<std::size_t>(n)), Now()));
      }
    }
    Send(model_.Poll(Now()));
  }
}

}  // namespace tarvik::validator
