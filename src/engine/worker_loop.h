// The worker thread: the only thread that talks to the validator. It receives and dispatches,
// sends the queued command, and takes the operator's posted character when no exchange is open.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "engine/engine.h"

namespace tarvik {

// The worker's start-up: clears the hand-over fields, marks the log recording stopped and opens
// the configured port (which starts polling).
void WorkerStartUp(Engine& engine);
// One pass of the worker cycle, without the pause in front of it. True when the pass wrote a
// command to the line (or ran a global download), so an answer may be on its way, and when it
// keeps a refused download frame to write again.
bool WorkerCycle(Engine& engine);

// Pauses between passes, in milliseconds. A pass follows at most 1 ms after the last while
// anything can be due; an idle host waits longer, and a wake-up ends any wait at once.
inline constexpr int kBusyWaitMs = 1;
inline constexpr int kIdleWaitMs = 20;
// After a transmission the line is watched closely this long when its descriptor is unknown.
inline constexpr int kAnswerWindowMs = 300;

// How long the worker may wait before its next pass. `lineWatched`: the wait also ends when the
// serial line becomes readable; `answerExpected`: a transmission was made less than
// kAnswerWindowMs ago.
int WorkerWaitMs(const EngineState& state, bool lineWatched, bool answerExpected);

// Runs the start-up and then the cycle on a thread of its own until stopped. Stopping is "set
// flag, wake, join"; the destructor stops a running worker. Start sets `engine.wakeWorker`.
class Worker {
 public:
  explicit Worker(Engine& engine);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // The serial line's descriptor for the idle wait (-1 while none is open); called on the
  // worker thread before each wait. Without it the worker watches the line by polling. Set
  // before Start.
  void SetLineDescriptor(std::function<int()> descriptor);

  void Start();
  void Stop();

  // For front-ends that wait for the worker: the start-up is over (the port open or refused),
  // and the number of passes completed since.
  bool StartedUp() const { return startedUp_.load(); }
  std::uint64_t CompletedCycles() const { return cycles_.load(); }

 private:
  void Run();

  Engine& engine_;
  std::function<int()> lineDescriptor_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> startedUp_{false};
  std::atomic<std::uint64_t> cycles_{0};
  std::thread thread_;
  // The wake-up event. Shared with `engine.wakeWorker`, which may outlive this object.
  struct Waiter;
  std::shared_ptr<Waiter> waiter_;
};

}  // namespace tarvik
