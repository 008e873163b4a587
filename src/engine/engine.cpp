#include "engine/engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/line_codes.h"

namespace tarvik {

Clock::~Clock() = default;

Clock::TimePoint Clock::Now() { return std::chrono::steady_clock::now(); }

void Clock::WaitForInput(SerialLink& link, std::chrono::microseconds timeout) {
  link.WaitReadable(
      static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count()));
}

void RealClock::Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::tm RealClock::LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

void MachineNumber::Set(std::string_view text) {
  std::lock_guard lock(mutex_);
  bytes_.fill(0);
  std::memcpy(bytes_.data(), text.data(), std::min(text.size(), kMaxChars));
}

std::string MachineNumber::Text() const {
  std::lock_guard lock(mutex_);
  return std::string(bytes_.data(), strnlen(bytes_.data(), kSize));
}

MachineNumber::Bytes MachineNumber::Raw() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void WakeWorker(Engine& engine) {
  if (engine.wakeWorker) engine.wakeWorker();
}

void PostPendingCommand(Engine& engine, std::int32_t character) {
  engine.state.pendingCommand.store(character);
  WakeWorker(engine);
}

std::int32_t TakePendingCommand(Engine& engine) { return engine.state.pendingCommand.exchange(0); }

void QueueCommand(Engine& engine, std::uint8_t code) {
  EngineState& s = engine.state;
  std::lock_guard lock(s.queueMutex);
  s.queuedCommand.store(code);
  s.commandQueued.store(1);
  WakeWorker(engine);
}

bool QueueCommandIfIdle(Engine& engine, std::uint8_t code) {
  EngineState& s = engine.state;
  std::lock_guard lock(s.queueMutex);
  if (s.commandQueued.load() != 0) return false;
  s.queuedCommand.store(code);
  s.commandQueued.store(1);
  WakeWorker(engine);
  return true;
}

bool PeekQueuedCommand(Engine& engine, std::uint8_t& code) {
  EngineState& s = engine.state;
  std::lock_guard lock(s.queueMutex);
  if (s.commandQueued.load() == 0) return false;
  code = s.queuedCommand.load();
  return true;
}

namespace {

// Timer 2: the polling decision. The test of `commandQueued` and the queueing are one step, so a
// follow-up queued by the worker at that moment is never replaced by a poll.
void PollingDecision(Engine& engine) {
  EngineState& s = engine.state;
  const std::uint8_t step = s.transactionStep.load();
  if (step == kStepNone) {
    if (s.pollingMode.load() == kPollingAuto && s.awaitingResponse.load() == 0) {
      QueueCommandIfIdle(engine, cmd::kStatusRequest);
    }
  } else if (step == kStepAutoResetAcked) {
    // Waiting for INITIALIZE after an Auto Reset: poll whatever the mode and the open exchange.
    QueueCommandIfIdle(engine, cmd::kStatusRequest);
  }
}

}  // namespace

void HandleTimer(Engine& engine, int id) {
  EngineState& s = engine.state;
  switch (id) {
    case kDownloadTimer:
      engine.ui.StopTimer(kDownloadTimer);
      s.commErrors.store(kRxTimeOutBit);
      engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
      break;
    case kPollingTimer:
      engine.ui.StopTimer(kPollingTimer);
      PollingDecision(engine);
      engine.ui.StartTimer(kPollingTimer, s.polling_duration.load());
      // A queued request has woken the worker already; with nothing queued there is nothing
      // for it to do.
      return;
    case kResponseTimer:
      engine.ui.StopTimer(kResponseTimer);
      s.responseTimedOut.store(1);
      break;
    default:
      return;
  }
  WakeWorker(engine);
}

}  // namespace tarvik
