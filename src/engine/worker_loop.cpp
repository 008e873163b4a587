#include "engine/worker_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
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
#include "engine/program_download.h"
#include "engine/response_dispatch.h"
#include "protocol/line_codes.h"

namespace tarvik {

namespace {

constexpr std::int32_t kDownloadStartCharacter = 'F';

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
// Returns true when anything was handed to the sender.
bool SendStep(Engine& engine) {
  EngineState& s = engine.state;
  bool sent = false;
  if (s.immediateStatusRequest.exchange(0) != 0 && s.normalDownloadActive.load() == 0) {
    SendCommand(engine, cmd::kStatusRequest);
    sent = true;
  }
  std::uint8_t code = 0;
  if (PeekQueuedCommand(engine, code)) {
    if (SendCommand(engine, code) == 0 && KeepRefusedDownloadFrame(engine)) return true;
    engine.download.refusedWrites = 0;
    // Cleared whatever the sender reports: outside a download a refused write is not retried.
    std::lock_guard lock(s.queueMutex);
    s.commandQueued.store(0);
    sent = true;
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
  const bool sent = SendStep(engine);
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

int WorkerWaitMs(const EngineState& s, bool lineWatched, bool answerExpected) {
  if (s.portOpen.load() == 0) {
    // Only a posted character has something to happen to it (it is dropped).
    return s.pendingCommand.load() != 0 ? kBusyWaitMs : kIdleWaitMs;
  }
  const bool exchangeOpen = s.awaitingResponse.load() != 0;
  const bool workWaiting = s.commandQueued.load() != 0 || s.immediateStatusRequest.load() != 0 ||
                           s.responseTimedOut.load() != 0 || s.commErrors.load() != 0 ||
                           s.globalDownloadActive.load() != 0 ||
                           (s.pendingCommand.load() != 0 && !exchangeOpen);
  if (workWaiting) return kBusyWaitMs;
  // An answer announces itself only on the line. When the line can wake the worker, the wait
  // may be long; otherwise the line is polled as often as the cycle allows while an answer can
  // come.
  if (lineWatched) return kIdleWaitMs;
  if (exchangeOpen || answerExpected || s.normalDownloadActive.load() != 0) return kBusyWaitMs;
  return kIdleWaitMs;
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
    const std::uint64_t one = 1;
    // A full counter already means "wake"; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  }

  // Waits up to `ms` for a wake-up or, when `lineFd` is valid, for the line to become readable.
  void Wait(int ms, int lineFd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {lineFd, POLLIN, 0}};
    const nfds_t count = lineFd >= 0 ? 2 : 1;
    if (::poll(fds, count, ms) > 0 && (fds[0].revents & POLLIN) != 0) {
      std::uint64_t wakes = 0;
      [[maybe_unused]] const ssize_t n = ::read(fd, &wakes, sizeof wakes);
    }
  }

  const int fd;
};

Worker::Worker(Engine& engine) : engine_(engine), waiter_(std::make_shared<Waiter>()) {}

Worker::~Worker() { Stop(); }

void Worker::SetLineDescriptor(std::function<int()> descriptor) {
  lineDescriptor_ = std::move(descriptor);
}

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

void Worker::Run() {
  using SteadyClock = std::chrono::steady_clock;
  WorkerStartUp(engine_);
  startedUp_.store(true);

  SteadyClock::time_point lastTransmission{};
  bool transmitted = false;
  ExchangeWatch watch;
  while (!stopRequested_.load()) {
    const int lineFd = lineDescriptor_ ? lineDescriptor_() : -1;
    const bool answerExpected = transmitted && SteadyClock::now() - lastTransmission <
                                                   std::chrono::milliseconds(kAnswerWindowMs);
    int waitMs = WorkerWaitMs(engine_.state, lineFd >= 0, answerExpected);
    // A line that stays readable (bytes the receiver leaves for a later pass) must not turn
    // the wait into a spin: it is then watched at the cycle's own pace.
    // The watch's deadline wakes the worker even on a line that has gone silent.
    if (const auto deadline = watch.Deadline(); deadline != SteadyClock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
      waitMs = std::min(waitMs, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    }
    if (lineFd >= 0 && waitMs > kBusyWaitMs) {
      pollfd line{lineFd, POLLIN, 0};
      if (::poll(&line, 1, 0) > 0) {
        waiter_->Wait(kBusyWaitMs, -1);
        waitMs = 0;
      }
    }
    if (waitMs > 0) waiter_->Wait(waitMs, waitMs > kBusyWaitMs ? lineFd : -1);
    if (stopRequested_.load()) break;

    if (WorkerCycle(engine_)) {
      transmitted = true;
      lastTransmission = SteadyClock::now();
    }
    watch.Check(engine_, SteadyClock::now());
    cycles_.fetch_add(1);
  }
}

}  // namespace tarvik
