#include "engine/worker_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "engine/command_sender.h"
#include "engine/exchange_watch.h"
#include "engine/operator_dispatch.h"
#include "engine/port_control.h"
#include "engine/port_watch.h"
#include "engine/program_download.h"
#include "engine/response_dispatch.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

// A normal download moves on only when its frame reaches the validator, and the port refuses a
// write while received bytes wait. The frame stays queued: the next pass receives what waits and
// then writes it. A line that never clears gives up after this many passes, and timer 1 (armed
// by the refusal) ends the download.
constexpr int kMaxRefusedDownloadWrites = 100;

bool KeepRefusedDownloadFrame(Engine& engine) {
  const EngineState& s = engine.state;
  if (s.normalDownloadActive.load() == 0 || s.portOpen.load() == 0) return false;
  return ++engine.download.refusedWrites <= kMaxRefusedDownloadWrites;
}

// The send step: the Display Mode button's status request first, then the queued command.
// Returns true when a frame went out, or a refused download frame waits to be written again.
bool SendStep(Engine& engine) {
  EngineState& s = engine.state;
  bool sent = false;
  // Only a frame that went out can bring an answer: a refused write (a device gone, an answer
  // arriving) must not make the worker watch the line closely for nothing.
  if (s.immediateStatusRequest.exchange(0) != 0 && s.normalDownloadActive.load() == 0) {
    sent = SendCommand(engine, cmd::kStatusRequest) == 1;
  }
  std::uint8_t code = 0;
  if (PeekQueuedCommand(engine, code)) {
    const bool written = SendCommand(engine, code) == 1;
    if (!written && KeepRefusedDownloadFrame(engine)) return true;
    engine.download.refusedWrites = 0;
    if (written) sent = true;
    // Cleared whatever the sender reports: outside a download a refused write is not retried.
    std::lock_guard lock(s.queueMutex);
    s.commandQueued.store(0);
  }
  return sent;
}

}  // namespace

void WorkerStartUp(Engine& engine) {
  EngineState& s = engine.state;
  s.awaitingResponse.store(0);
  s.armResponseTimer.store(0);
  s.pendingCommand.store(0);
  {
    std::lock_guard lock(s.queueMutex);
    s.commandQueued.store(0);
  }
  s.immediateStatusRequest.store(0);
  s.portOpen.store(0);
  s.globalDownloadActive.store(0);
  s.statusChanged.store(0);
  s.lastStatus.store(0);
  s.logRecordingStopped.store(1);
  ToggleComPort(engine);
}

bool WorkerCycle(Engine& engine) {
  EngineState& s = engine.state;
  if (s.portOpen.load() == 0) {
    // Nothing can be sent: what the operator posts meanwhile is dropped, not kept for later.
    TakePendingCommand(engine);
    s.immediateStatusRequest.store(0);
    return false;
  }
  if (s.globalDownloadActive.load() != 0) {
    if (engine.runGlobalDownload) {
      engine.runGlobalDownload(engine);
    } else {
      s.globalDownloadActive.store(0);
    }
    return true;
  }

  if (ReceiveAndDispatch(engine) == 1) {
    // A download whose exchange ended before its check result has nothing left to drive it.
    if (s.awaitingResponse.load() != 0) StopUnfinishedDownload(engine);
    s.awaitingResponse.store(0);
  }
  // What goes out now and its answer reach the window together: the hold a frame that went out
  // keeps is ended by the worker (the answer's pass, or its deadline).
  const bool sending = s.commandQueued.load() != 0 || s.immediateStatusRequest.load() != 0;
  if (sending) engine.ui.HoldUpdates();
  const bool sent = SendStep(engine);
  if (sending && !sent) engine.ui.ReleaseUpdates();
  if (s.awaitingResponse.load() != 0) return sent;

  const std::int32_t character = TakePendingCommand(engine);
  if (character == 0) return sent;
  // Set before the dispatch and kept when it rejects the character: the next transmission,
  // whatever it is, then starts the response timer.
  if (character == kDownloadStartCharacter) {
    s.normalDownloadActive.store(1);
  } else {
    s.normalDownloadActive.store(0);
    s.armResponseTimer.store(1);
  }
  if (DispatchOperatorCommand(engine, character) == 0) s.awaitingResponse.store(1);
  return sent;
}

PassDue NextPassDue(const EngineState& s, bool lineWatched, bool answerExpected) {
  if (s.portOpen.load() == 0) {
    // Only a posted character has something to happen to it (it is dropped).
    return s.pendingCommand.load() != 0 ? PassDue::Now : PassDue::Deadline;
  }
  const bool exchangeOpen = s.awaitingResponse.load() != 0;
  const bool workWaiting = s.commandQueued.load() != 0 || s.immediateStatusRequest.load() != 0 ||
                           s.responseTimedOut.load() != 0 || s.commErrors.load() != 0 ||
                           s.globalDownloadActive.load() != 0 ||
                           (s.pendingCommand.load() != 0 && !exchangeOpen);
  if (workWaiting) return PassDue::Now;
  // An answer announces itself only on the line. When the line can wake the worker, it sleeps
  // until it does; otherwise the line is looked at often while an answer can come.
  if (lineWatched) return PassDue::Deadline;
  if (exchangeOpen || answerExpected || s.normalDownloadActive.load() != 0) {
    return PassDue::LinePoll;
  }
  return PassDue::Deadline;
}

// --- Worker ------------------------------------------------------------------------------------

// An eventfd that `wakeWorker` raises and the worker's wait drains.
struct Worker::Waiter {
  Waiter() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  }
  ~Waiter() { ::close(fd); }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  void Wake() const {
    // What the worker queues for itself it sees when its pass ends; waking itself would only buy
    // an empty pass.
    if (std::this_thread::get_id() == owner.load()) return;
    const std::uint64_t one = 1;
    // A full counter already means "wake"; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  }

  // Takes the wake-ups raised so far; those raised afterwards end the next wait.
  void Drain() const {
    std::uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &wakes, sizeof wakes);
  }

  // Waits until `deadline` for a wake-up or, when `lineFd` is valid, for the line to become
  // readable (or to hang up: the pass then finds the device gone). True when it slept: nothing
  // was there when it began, and the deadline was still ahead.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline, int lineFd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {lineFd, POLLIN, 0}};
    const nfds_t count = lineFd >= 0 ? 2 : 1;
    const timespec zero{};
    if (::ppoll(fds, count, &zero, nullptr) != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    // Compared first: the distance to a far deadline (time_point::min or max) would overflow.
    if (deadline <= now) return false;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::min(deadline, now + std::chrono::milliseconds(kSafetyWakeMs)) - now);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
    timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
    ::ppoll(fds, count, &timeout, nullptr);
    return true;
  }

  const int fd;
  std::atomic<std::thread::id> owner{};
};

Worker::Worker(Engine& engine) : engine_(engine), waiter_(std::make_shared<Waiter>()) {}

Worker::~Worker() { Stop(); }

void Worker::SetLineDescriptor(std::function<int()> descriptor) {
  lineDescriptor_ = std::move(descriptor);
}

void Worker::SetPassEndHook(std::function<void()> hook) { passEnd_ = std::move(hook); }

void Worker::Start() {
  if (thread_.joinable()) return;
  stopRequested_.store(false);
  startedUp_.store(false);
  // The engine's wake-up keeps the event alive on its own, so a late post from the window
  // thread after this worker is gone still finds a valid descriptor.
  engine_.wakeWorker = [waiter = waiter_] { waiter->Wake(); };
  thread_ = std::thread([this] { Run(); });
}

void Worker::Stop() {
  if (!thread_.joinable()) return;
  stopRequested_.store(true);
  waiter_->Wake();
  thread_.join();
}

std::chrono::microseconds PassPause(PassStart start, int& backToBack) {
  switch (start) {
    case PassStart::AfterWait:
      backToBack = 0;
      return std::chrono::microseconds(0);
    case PassStart::Continuation:
      return std::chrono::microseconds(0);
    case PassStart::BackToBack:
      break;
  }
  const auto pause = std::min<std::chrono::microseconds>(
      kPassPause * (1 << std::min(backToBack, 8)), kMaxPassPause);
  ++backToBack;
  return pause;
}

void Worker::Run() {
  waiter_->owner.store(std::this_thread::get_id());
  WorkerStartUp(engine_);
  startedUp_.store(true);
  if (passEnd_) passEnd_();

  SteadyClock::time_point lastTransmission{};
  bool transmitted = false;
  SteadyClock::time_point lastPassEnd = SteadyClock::now();
  int backToBack = 0;         // passes in a row that found work without waiting for it
  bool continuation = false;  // the last pass took a command whose frame is still to go out
  ExchangeWatch watch;
  PortWatch portWatch;
  auto portDue = SteadyClock::time_point::max();
  // While the window's updates are held for an answer: when the hold ends at the latest.
  auto holdDue = SteadyClock::time_point::max();
  while (!stopRequested_.load()) {
    // Wake-ups raised so far are taken before the engine is looked at: what they announced is
    // seen in the look, and those raised after it end the wait.
    waiter_->Drain();
    if (stopRequested_.load()) break;
    const int lineFd = lineDescriptor_ ? lineDescriptor_() : -1;
    const SteadyClock::time_point now = SteadyClock::now();
    const bool answerExpected =
        transmitted && now - lastTransmission < std::chrono::milliseconds(kAnswerWindowMs);
    bool slept = false;
    switch (NextPassDue(engine_.state, lineFd >= 0, answerExpected)) {
      case PassDue::Now:
        break;
      case PassDue::LinePoll:
        slept = waiter_->WaitUntil(now + std::chrono::milliseconds(kLinePollMs), -1);
        break;
      case PassDue::Deadline:
        // The watch's deadline wakes the worker even on a line that has gone silent, and so
        // does the next attempt to reopen a lost port.
        slept = waiter_->WaitUntil(std::min({watch.Deadline(), portDue, holdDue}), lineFd);
        break;
    }
    // The bounded pause: one pass per wake at most, however fast the wake-ups come.
    const PassStart start = slept          ? PassStart::AfterWait
                            : continuation ? PassStart::Continuation
                                           : PassStart::BackToBack;
    const auto pause = PassPause(start, backToBack);
    if (pause.count() > 0 && SteadyClock::now() < lastPassEnd + pause) {
      std::this_thread::sleep_until(lastPassEnd + pause);
    }
    if (stopRequested_.load()) break;

    passSequence_.fetch_add(1);
    const bool commandPosted = engine_.state.pendingCommand.load() != 0;
    const bool sent = WorkerCycle(engine_);
    if (sent) {
      transmitted = true;
      lastTransmission = SteadyClock::now();
    }
    // Only a character posted from outside, taken in this pass, makes the next one a
    // continuation; a frame kept for a retry does not, so a refused write cannot spin.
    continuation = commandPosted && engine_.state.pendingCommand.load() == 0 &&
                   engine_.state.commandQueued.load() != 0;
    lastPassEnd = SteadyClock::now();
    // A pass that sent keeps the hold for the pass that takes the answer. A chain of exchanges
    // (a download, a stack after an escrow) sends in every pass, so the hold is counted from the
    // first of them and never outlasts kUpdateHoldMs. Passes with no hold to end (a flood of
    // frames) leave the window's services alone.
    const bool holding = holdDue != SteadyClock::time_point::max();
    if (sent && !holding) {
      holdDue = lastPassEnd + std::chrono::milliseconds(kUpdateHoldMs);
    } else if (holding && (!sent || lastPassEnd >= holdDue)) {
      holdDue = SteadyClock::time_point::max();
      engine_.ui.ReleaseUpdates();
    }
    watch.Check(engine_, lastPassEnd);
    portDue = portWatch.Check(engine_, lastPassEnd);
    passSequence_.fetch_add(1);
    if (passEnd_) passEnd_();
  }
  if (holdDue != SteadyClock::time_point::max()) engine_.ui.ReleaseUpdates();
}

}  // namespace tarvik
