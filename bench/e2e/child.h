// A program under measurement, started with the standard input the figure needs (a pipe, as a
// script gives it, or a pseudo-terminal, as a person's terminal does), and what /proc says about
// its wake-ups and processor time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvik::bench {

enum class Input { Pipe, Terminal };

struct ChildOptions {
  std::vector<std::string> argv;  // program first
  Input input = Input::Pipe;
  std::string stdoutPath = "/dev/null";
  std::string stderrPath = "/dev/null";
  std::vector<std::string> environment;  // NAME=value, added to the driver's own
  int cpu = -1;                          // pinned to this processor when >= 0
};

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  bool Start(const ChildOptions& options, std::string& error);
  // Writes keys to its standard input.
  bool Type(const std::string& keys) const;
  // Ends it (SIGTERM, then SIGKILL) and collects it.
  void Stop();
  pid_t Pid() const { return pid_; }
  bool Running() const;

 private:
  pid_t pid_ = -1;
  int input_ = -1;  // our end of its standard input
};

// Wake-ups (voluntary context switches) and processor time of all threads of a process.
struct ProcSample {
  long long wakeUps = 0;
  double cpuSeconds = 0;
};
ProcSample SampleProcess(pid_t pid);

}  // namespace tarvik::bench
