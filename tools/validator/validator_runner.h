// Runs a virtual validator on its own thread in front of a pty (or a serial device), so a test,
// a demo or the tarvik-validator program can put a live validator on a line in a few calls:
//
//   VirtualValidatorRunner runner;
//   runner.Start({});                  // a new pty
//   host.Open(runner.SlavePath());
//   runner.Command("insert 61");
//   runner.Stop();
//
// Threads meet at two places: the command queue (a mutex, then a wake-up of the runner thread
// through an eventfd) and the stop flag. The model, the port and the trace sink are touched by
// the runner thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "validator/validator_port.h"
#include "validator/virtual_validator.h"

namespace tarvik::validator {

struct RunnerOptions {
  std::string devicePath;  // empty: create a pty
  int baud = 9600;         // line speed of a device, and of the pacing
  bool pace = false;       // send bytes at the line's real speed
  int autoNotesMs = 0;     // insert a note at this interval while idling; 0: never
  int firstNoteMs = -1;    // ... the first this long after the start; -1: one interval
  bool startIdle = false;  // skip power-up: idle from the start, no reset needed
  ValidatorTimings timings;
  VirtualValidator::TraceSink trace;  // called on the runner thread
};

class VirtualValidatorRunner {
 public:
  VirtualValidatorRunner() = default;
  VirtualValidatorRunner(const VirtualValidatorRunner&) = delete;
  VirtualValidatorRunner& operator=(const VirtualValidatorRunner&) = delete;
  ~VirtualValidatorRunner();

  // Opens the line and starts the thread. On failure returns false with the reason in `error`.
  bool Start(RunnerOptions options, std::string* error = nullptr, std::string* warning = nullptr);
  // The device the host opens: the pty slave, or the device given. Fixed between Start and Stop.
  const std::string& SlavePath() const { return path_; }
  // Runs one operator command on the runner thread and waits for its reply.
  CommandReply Command(std::string_view line);
  // Stops the thread and closes the line; the pty disappears. Safe to call twice.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  struct Request {
    std::string line;
    std::promise<CommandReply> reply;
  };

  void Run();
  void Wake();
  void WakeLocked();  // with mutex_ held
  void ServeRequests(Millis now);
  void Send(const std::vector<std::uint8_t>& bytes);
  Millis Now() const;

  RunnerOptions options_;
  ValidatorPort port_;
  std::string path_;
  VirtualValidator model_;
  std::chrono::steady_clock::time_point epoch_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // Guards requests_, accepting_ and the opening and closing of wakeFd_ (the runner thread
  // only reads the eventfd, and only while it runs).
  std::mutex mutex_;
  int wakeFd_ = -1;
  std::deque<Request> requests_;
  bool accepting_ = false;
};

}  // namespace tarvik::validator
