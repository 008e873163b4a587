// The worker thread: the only thread that talks to the validator. It receives and dispatches,
// sends the queued command, and takes the operator's posted character when no exchange is open.
#pragma once

#include <atomic>
#include <thread>

#include "engine/engine.h"

namespace tarvik {

// The worker's start-up: clears the hand-over fields, marks the log recording stopped and opens
// the configured port (which starts polling).
void WorkerStartUp(Engine& engine);
// One pass of the worker cycle, without the pause in front of it.
void WorkerCycle(Engine& engine);

// Runs the start-up and then the cycle on a thread of its own until stopped. Stopping is "set
// flag, wake, join"; the destructor stops a running worker.
class Worker {
 public:
  explicit Worker(Engine& engine);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Start();
  void Stop();

 private:
  void Run();

  Engine& engine_;
  std::atomic<bool> stopRequested_{false};
  std::thread thread_;
  // The wait between cycles and the wake-up that shortens it are the implementation's.
  struct Waiter;
  Waiter* waiter_ = nullptr;
};

}  // namespace tarvik
