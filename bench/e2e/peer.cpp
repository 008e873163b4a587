#include "e2e/peer.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "protocol/frame.h"
#include "protocol/line_codes.h"

namespace tarvik::bench {

namespace {

constexpr int kIdleWaitMs = 100;
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
  if (!port_.OpenPty(error)) return false;
  epoch_ = SteadyClock::now();
  model_.SkipPowerUp(Now());
  if (options.autoNotesMs > 0) model_.SetAutoNotes(options.autoNotesMs, Now(), options.autoNotesMs);
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

validator::Millis Peer::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - epoch_).count();
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

void Peer::TakeHostBytes(const std::uint8_t* bytes, std::size_t count, SteadyClock::time_point at) {
  for (std::size_t i = 0; i < count; ++i) {
    if (partial_.empty() && bytes[i] != kSyncByte && bytes[i] != kBroadcastAddress) continue;
    partial_.push_back(bytes[i]);
    if (partial_.size() < 2) continue;
    if (partial_[1] < kMinFrameLength) {
      partial_.clear();
      continue;
    }
    if (partial_.size() < partial_[1]) continue;
    const std::uint8_t code = partial_[2];
    partial_.clear();
    hostFrames_.fetch_add(1);
    std::lock_guard lock(mutex_);
    if (recent_.size() >= kRecentLimit)
      recent_.erase(recent_.begin(), recent_.begin() + kRecentLimit / 2);
    recent_.emplace_back(code, at);
    if (code == cmd::kStack1 && escrowOut_) {
      turnarounds_.push_back(std::chrono::duration<double, std::micro>(at - escrowSentAt_).count());
      escrowOut_ = false;
    }
    frameSeen_.notify_all();
  }
}

void Peer::Run() {
  if (options_.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(options_.cpu, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
  }
  std::array<std::uint8_t, 4096> buffer{};
  const std::vector<std::uint8_t> escrow = EscrowFrame();
  while (!stop_.load()) {
    int timeout = kIdleWaitMs;
    if (const auto due = options_.answer ? model_.NextDue() : std::nullopt) {
      timeout = static_cast<int>(std::clamp<validator::Millis>(*due - Now(), 0, kIdleWaitMs));
    }
    const bool flooding = flood_.load();
    pollfd fd{port_.Fd(), static_cast<short>(POLLIN | (flooding ? POLLOUT : 0)), 0};
    if (::poll(&fd, 1, flooding ? kIdleWaitMs : timeout) < 0 && errno != EINTR) break;
    if ((fd.revents & POLLIN) != 0) {
      for (;;) {
        const long n = port_.ReadSome(buffer.data(), buffer.size());
        if (n <= 0) break;
        const auto at = SteadyClock::now();
        TakeHostBytes(buffer.data(), static_cast<std::size_t>(n), at);
        if (!flooding && options_.answer) {
          port_.WriteAll(model_.Feed(std::span(buffer.data(), static_cast<std::size_t>(n)), Now()),
                         0, &stop_);
        }
      }
    }
    if (flooding) {
      // As fast as the line takes it: a write that finds no room waits for the next poll.
      if ((fd.revents & POLLOUT) != 0) {
        [[maybe_unused]] const ssize_t n = ::write(port_.Fd(), escrow.data(), escrow.size());
      }
      continue;
    }
    if (options_.answer) port_.WriteAll(model_.Poll(Now()), 0, &stop_);
  }
}

}  // namespace tarvik::bench
