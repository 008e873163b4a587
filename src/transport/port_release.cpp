#include "transport/port_release.h"

#include <signal.h>
#include <sys/ioctl.h>

#include <array>
#include <atomic>

#include "transport/low_latency.h"

namespace tarvik {

namespace {

// One host opens one port; a few slots cover a reopen racing a close.
constexpr int kNoPort = -1;
std::array<std::atomic<int>, 4> gExclusivePorts = {kNoPort, kNoPort, kNoPort, kNoPort};
std::atomic<void (*)()> gRestore{nullptr};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads these");

extern "C" void ReleaseAndDie(int signal) {
  ReleaseExclusivePortsForSignal();
  UndoLowLatencyForSignal();
  if (void (*restore)() = gRestore.load()) restore();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

void RecordExclusivePort(int fd) {
  for (auto& slot : gExclusivePorts) {
    int expected = kNoPort;
    if (slot.compare_exchange_strong(expected, fd)) return;
  }
}

void ForgetExclusivePort(int fd) {
  for (auto& slot : gExclusivePorts) {
    int expected = fd;
    slot.compare_exchange_strong(expected, kNoPort);
  }
}

void ReleaseExclusivePortsForSignal() {
  for (auto& slot : gExclusivePorts) {
    const int fd = slot.load();
    if (fd != kNoPort) ::ioctl(fd, TIOCNXCL);
  }
}

void InstallReleasingSignalHandlers(void (*restore)()) {
  gRestore.store(restore);
  struct sigaction action {};
  action.sa_handler = ReleaseAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaction(signal, &action, nullptr);
}

}  // namespace tarvik
