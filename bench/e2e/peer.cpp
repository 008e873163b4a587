#include "e2e/peer.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "protocol/frame.h"
#include "protocol/line_codes.h"

namespace tarvik::bench {

namespace {

constexpr auto kIdleWait = std::chrono::milliseconds(100);
constexpr std::size_t kRecentLimit = 4096;
constexpr std::uint8_t kFloodNote = 0x61;

std::vector<std::uint8_t> EscrowFrame() {
  std::vector<std::uint8_t> frame{kSyncByte, 6, rsp::kEscrow, kFloodNote, 0, 0};
  AppendCrc(frame.data(), 4);
  return frame;
}

}  // namespace

bool Peer::Start(const Options& options, std::string& error) {
  options_ = options;
  model_ = validator::VirtualValidator(options.timings);
  line_ = PacedLine(options.lineBaud);
  partial_.clear();
  modelTime_ = 0;
  download_ = {};
  if (!port_.OpenPty(error)) return false;
  epoch_ = SteadyClock::now();
  model_.SkipPowerUp(Now());
  for (const std::string& command : options.commands) {
    const validator::CommandReply reply = model_.Command(command, Now());
    if (!reply.ok) {
      error = "the validator refused \"" + command + "\": " + reply.text;
      port_.Close();
      return false;
    }
  }
  stop_.store(false);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void Peer::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
  port_.Close();
}

validator::Millis Peer::Now() const { return MillisAt(SteadyClock::now()); }

validator::Millis Peer::MillisAt(SteadyClock::time_point at) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at - epoch_).count();
}

bool Peer::WaitForDownload(SteadyClock::time_point deadline, DownloadTiming& timing) {
  std::unique_lock lock(mutex_);
  const bool finished =
      frameSeen_.wait_until(lock, deadline, [this] { return download_.Timing().finished; });
  timing = download_.Timing();
  return finished;
}

std::vector<double> Peer::TakeTurnarounds() {
  std::lock_guard lock(mutex_);
  std::vector<double> taken;
  taken.swap(turnarounds_);
  return taken;
}

bool Peer::WaitForHostFrame(std::uint8_t code, SteadyClock::time_point since,
                            SteadyClock::time_point deadline, SteadyClock::time_point& at) {
  std::unique_lock lock(mutex_);
  const auto found = [&] {
    for (const auto& [seen, when] : recent_) {
      if (seen == code && when >= since) {
        at = when;
        return true;
      }
    }
    return false;
  };
  return frameSeen_.wait_until(lock, deadline, found);
}

void Peer::InjectEscrow(bool byteByByte) {
  const std::vector<std::uint8_t> escrow = EscrowFrame();
  std::size_t at = 0;
  if (byteByByte) {
    // All but the last byte at the line's pace; the clock starts at the last one.
    const auto byteTime = std::chrono::microseconds(validator::ByteTimeMicros(options_.paceBaud));
    auto next = SteadyClock::now();
    for (; at + 1 < escrow.size(); ++at) {
      [[maybe_unused]] const ssize_t n = ::write(port_.Fd(), &escrow[at], 1);
      next += byteTime;
      std::this_thread::sleep_until(next);
    }
  }
  // Stamped under the lock taken before the write, so the answer cannot be seen first.
  std::lock_guard lock(mutex_);
  [[maybe_unused]] const ssize_t n = ::write(port_.Fd(), escrow.data() + at, escrow.size() - at);
  escrowOut_ = true;
  escrowSentAt_ = SteadyClock::now();
}

void Peer::TakeHostBytes(const PacedLine::Arrived& arrived) {
  for (std::size_t i = 0; i < arrived.bytes.size(); ++i) {
    const std::uint8_t byte = arrived.bytes[i];
    if (partial_.empty() && byte != kSyncByte && byte != kBroadcastAddress) continue;
    if (partial_.empty()) partialStart_ = arrived.at[i] - line_.ByteTime();
    partial_.push_back(byte);
    if (partial_.size() < 2) continue;
    if (partial_[1] < kMinFrameLength) {
      partial_.clear();
      continue;
    }
    if (partial_.size() < partial_[1]) continue;
    const std::uint8_t code = partial_[2];
    const SteadyClock::time_point at = arrived.at[i];
    {
      std::lock_guard lock(mutex_);
      if (recent_.size() >= kRecentLimit)
        recent_.erase(recent_.begin(), recent_.begin() + kRecentLimit / 2);
      recent_.emplace_back(code, at);
      if (code == cmd::kStack1 && escrowOut_) {
        turnarounds_.push_back(
            std::chrono::duration<double, std::micro>(at - escrowSentAt_).count());
        escrowOut_ = false;
      }
      download_.HostFrame(partial_, partialStart_, at);
      frameSeen_.notify_all();
    }
    partial_.clear();
  }
}

void Peer::SendAnswer(const std::vector<std::uint8_t>& bytes, SteadyClock::time_point from) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    download_.ValidatorBytes(bytes);
  }
  line_.Send(bytes, from);
}

void Peer::Run() {
  if (options_.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(options_.cpu, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
  }
  // A paced line wakes at each byte's due time; the default 50 µs of timer slack would make
  // every answer byte late by that much, and the lateness would count against the host.
  if (options_.lineBaud > 0) ::prctl(PR_SET_TIMERSLACK, 1UL);
  std::array<std::uint8_t, 4096> buffer{};
  const std::vector<std::uint8_t> escrow = EscrowFrame();
  PacedLine::Arrived arrived;
  // The model's clock never runs back, though a frame may be taken a little after it arrived.
  const auto modelTime = [this](SteadyClock::time_point at) {
    modelTime_ = std::max(modelTime_, MillisAt(at));
    return modelTime_;
  };
  while (!stop_.load()) {
    const bool flooding = flood_.load();
    const auto now = SteadyClock::now();
    auto wake = now + kIdleWait;
    if (!flooding) {
      if (const auto due = options_.answer ? model_.NextDue() : std::nullopt) {
        wake = std::min(wake, epoch_ + std::chrono::milliseconds(*due));
      }
      if (const auto due = line_.NextArrival()) wake = std::min(wake, *due);
      if (const auto due = line_.NextWrite()) wake = std::min(wake, *due);
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(wake - now, SteadyClock::duration::zero()));
    const timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                           static_cast<long>(left.count() % 1'000'000'000)};
    pollfd fd{port_.Fd(), static_cast<short>(POLLIN | (flooding ? POLLOUT : 0)), 0};
    if (::ppoll(&fd, 1, &timeout, nullptr) < 0 && errno != EINTR) break;
    if ((fd.revents & POLLIN) != 0) {
      for (;;) {
        const long n = port_.ReadSome(buffer.data(), buffer.size());
        if (n <= 0) break;
        line_.Receive(std::span(buffer.data(), static_cast<std::size_t>(n)), SteadyClock::now());
      }
    }
    // Host frames are taken once their last byte has crossed the line, each at that moment,
    // and the answer starts then: the model itself takes no time.
    while (line_.TakeArrived(SteadyClock::now(), arrived)) {
      TakeHostBytes(arrived);
      if (!flooding && options_.answer) {
        const SteadyClock::time_point at = arrived.at.back();
        SendAnswer(model_.Feed(arrived.bytes, modelTime(at)), at);
      }
    }
    if (flooding) {
      // As fast as the line takes it: a write that finds no room waits for the next poll.
      if ((fd.revents & POLLOUT) != 0) {
        [[maybe_unused]] const ssize_t n = ::write(port_.Fd(), escrow.data(), escrow.size());
      }
      continue;
    }
    if (options_.answer) {
      const auto at = SteadyClock::now();
      SendAnswer(model_.Poll(modelTime(at)), at);
    }
    const std::vector<std::uint8_t> due = line_.TakeDue(SteadyClock::now());
    if (!due.empty()) port_.WriteAll(due, 0, &stop_);
  }
}

}  // namespace tarvik::bench
