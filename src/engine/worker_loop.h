// The worker thread: the only thread that talks to the validator. It receives and dispatches,
// sends the queued command, and takes the operator's posted character when no exchange is open.
#pragma once

#include <atomic>
#include <chrono>
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

// When the worker's next pass is due.
enum class PassDue {
  Now,       // work is waiting: a character to take, a command to send, a time-out or error
  LinePoll,  // an answer can come on a line that cannot wake the worker: look again shortly
  Deadline,  // nothing to do: sleep until the next deadline, a wake-up or a readable line
};
// `lineWatched`: the line's descriptor wakes the worker; `answerExpected`: a transmission was
// made less than kAnswerWindowMs ago.
PassDue NextPassDue(const EngineState& state, bool lineWatched, bool answerExpected);

// Whatever wakes the worker (a readable line, its own follow-ups, a flood of posts), a pass never
// starts sooner than kPassPause after the one before ended, so no wake-up can make it spin. While
// passes keep finding work without having to wait for it (a flood of frames), the pause doubles
// up to kMaxPassPause: a flood costs a bounded share of a core, and noise, which the receiver
// takes a byte a pass, is still worked through faster than the classic 1 ms cycle did. A pass
// that had to wait for its reason runs at once, and so does the one that sends the frame of an
// operator's command. A follow-up that an answer asks for goes out in the pass that took the
// answer, so the escrow to Stack turnaround waits for no pause either.
inline constexpr auto kPassPause = std::chrono::microseconds(250);
inline constexpr auto kMaxPassPause = std::chrono::microseconds(500);

// What let the worker's next pass start.
enum class PassStart {
  AfterWait,     // it waited for its reason: a wake-up, a readable line, a deadline
  Continuation,  // the last pass took an operator's command, whose frame goes out in this one
  BackToBack,    // work was already there when the last pass ended
};
// The least time between the end of the last pass and the start of the next, and the count of
// back-to-back passes kept across calls. A pass that waited, or that only sends the frame of the
// command the last pass took, runs at once: neither is a wake-up from outside that could come
// too fast, and the command would otherwise reach the line a pause late. Only back-to-back
// passes are held, longer the longer they go on.
std::chrono::microseconds PassPause(PassStart start, int& backToBack);
// How often a line that cannot wake the worker is looked at while an answer can come.
inline constexpr int kLinePollMs = 1;
// The longest sleep: a safety net only, every deadline the worker keeps wakes it on time.
inline constexpr int kSafetyWakeMs = 2000;
// After a transmission the line is watched closely this long when its descriptor is unknown.
inline constexpr int kAnswerWindowMs = 300;
// The longest the worker holds the window's updates for an answer (see
// WindowServices::HoldUpdates): longer than a short answer takes on a real line, too short for
// an operator to see the request wait for it.
inline constexpr int kUpdateHoldMs = 20;

// Runs the start-up and then the cycle on a thread of its own until stopped. Stopping is "set
// flag, wake, join"; the destructor stops a running worker. Start sets `engine.wakeWorker`.
class Worker {
 public:
  explicit Worker(Engine& engine);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  using SteadyClock = std::chrono::steady_clock;

  // The serial line's descriptor for the idle wait (-1 while none is open); called on the
  // worker thread before each wait. Without it the worker watches the line by polling. Set
  // before Start.
  void SetLineDescriptor(std::function<int()> descriptor);
  // Called on the worker thread once the start-up is over and at the end of every pass, so a
  // front-end waiting for the engine learns of it without polling. Keep it short; set before
  // Start.
  void SetPassEndHook(std::function<void()> hook);

  void Start();
  void Stop();

  // For front-ends that wait for the worker: the start-up is over (the port open or refused),
  // and the number of passes completed since.
  bool StartedUp() const { return startedUp_.load(); }
  std::uint64_t CompletedCycles() const { return passSequence_.load() / 2; }
  // Counts up once as a pass begins and once as it ends: odd while a pass runs. A look at the
  // engine between two equal, even readings saw a state no pass was changing.
  std::uint64_t PassSequence() const { return passSequence_.load(); }

 private:
  void Run();

  Engine& engine_;
  std::function<int()> lineDescriptor_;
  std::function<void()> passEnd_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> startedUp_{false};
  std::atomic<std::uint64_t> passSequence_{0};
  std::thread thread_;
  // The wake-up event. Shared with `engine.wakeWorker`, which may outlive this object.
  struct Waiter;
  std::shared_ptr<Waiter> waiter_;
};

}  // namespace tarvik
