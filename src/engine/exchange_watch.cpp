#include "engine/exchange_watch.h"

#include <cstdio>

#include "engine/comm_log.h"

namespace tarvik {

namespace {

void EndStuckExchange(Engine& engine, int quietMs) {
  EngineState& s = engine.state;
  char text[96];
  std::snprintf(text, sizeof text,
                "Exchange ended: no answer for %d msec and nothing left to send.", quietMs);
  engine.rx = FrameLogRecord{};
  SetRxLogText(engine, text);
  LogReceivedFrame(engine);
  s.transactionStep.store(kStepNone);
  s.reapplySettings.store(0);
  s.awaitingResponse.store(0);
}

}  // namespace

bool ExchangeWatch::Check(Engine& engine, SteadyClock::time_point now) {
  const EngineState& s = engine.state;
  if (s.portOpen.load() == 0 || s.awaitingResponse.load() == 0 ||
      s.globalDownloadActive.load() != 0) {
    deadline_ = SteadyClock::time_point::max();
    return false;
  }
  const std::uint32_t activity = s.lineActivity.load();
  const int quietMs = s.normalDownloadActive.load() != 0 ? kStuckDownloadMs : kStuckExchangeMs;
  // A queued follow-up is about to go out; the quiet time counts from the last thing that
  // happened on the line.
  if (deadline_ == SteadyClock::time_point::max() || activity != seenActivity_ ||
      s.commandQueued.load() != 0) {
    seenActivity_ = activity;
    deadline_ = now + std::chrono::milliseconds(quietMs);
    return false;
  }
  if (now < deadline_) return false;
  deadline_ = SteadyClock::time_point::max();
  EndStuckExchange(engine, quietMs);
  return true;
}

ExchangeWatch::SteadyClock::time_point ExchangeWatch::Deadline() const { return deadline_; }

}  // namespace tarvik
