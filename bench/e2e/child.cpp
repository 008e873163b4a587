#include "e2e/child.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace tarvik::bench {

bool Child::Start(const ChildOptions& options, std::string& error) {
  int childInput = -1;
  if (options.input == Input::Pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    childInput = fds[0];
    input_ = fds[1];
  } else {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      error = std::string("openpty: ") + std::strerror(errno);
      return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    childInput = slave;
    input_ = master;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    if (options.input == Input::Terminal) {
      ::setsid();
      ::ioctl(childInput, TIOCSCTTY, 0);
    }
    ::dup2(childInput, STDIN_FILENO);
    const int out = ::open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (options.cpu >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(options.cpu, &set);
      ::sched_setaffinity(0, sizeof set, &set);
    }
    // The driver ignores SIGPIPE for its own writes; the subject runs as it would anywhere.
    ::signal(SIGPIPE, SIG_DFL);
    for (const std::string& variable : options.environment) ::putenv(::strdup(variable.c_str()));
    std::vector<char*> argv;
    for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    // Into the standard error file, which the driver names when the figure fails; plain writes,
    // as the driver's other threads may hold the locks of stdio.
    const char* reason = std::strerror(errno);
    const char* const parts[] = {"cannot run ", argv[0], ": ", reason, "\n"};
    for (const char* part : parts) {
      [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, part, std::strlen(part));
    }
    ::_exit(127);
  }
  ::close(childInput);
  pid_ = pid;
  return true;
}

bool Child::Type(const std::string& keys) const {
  return ::write(input_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool Child::Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

void Child::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

ProcSample SampleProcess(pid_t pid) {
  ProcSample sample;
  // Per thread: its wake-ups from status, its processor time in nanoseconds from schedstat
  // (the clock ticks of stat are 10 ms, too coarse for an idle host's few milliseconds).
  long long cpuNs = 0;
  bool schedstat = true;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = ::opendir(taskDir.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const std::string task = taskDir + "/" + entry->d_name;
      std::ifstream status(task + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
          sample.wakeUps += std::stoll(line.substr(line.find(':') + 1));
        }
      }
      std::ifstream sched(task + "/schedstat");
      long long ns = 0;
      if (sched >> ns) {
        cpuNs += ns;
      } else {
        schedstat = false;
      }
    }
    ::closedir(dir);
  }
  if (schedstat) {
    sample.cpuSeconds = static_cast<double>(cpuNs) / 1e9;
    return sample;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold spaces.
  const std::size_t close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
      if (i == 14 || i == 15) ticks += std::stoll(field);
    }
    sample.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  return sample;
}

}  // namespace tarvik::bench
