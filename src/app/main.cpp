// tarvik-host: the host simulator program. The window runs where a display exists; the console
// front-end runs with --console, without a display, or where the window is not built.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tarvik_version.h"
#include "transport/port_release.h"
#include "transport/serial_port.h"
#include "ui/console/console_front_end.h"
#include "ui/host_options.h"
#include "validator/validator_runner.h"

#ifdef TARVIK_HAS_QT_WINDOW
#include "ui/qt/qt_front_end.h"
#endif

namespace {

// The demo validator brings the port: when it cannot start, the port did not open.
constexpr int kExitDemoFailed = tarvik::console::kExitPortUnavailable;
// With --demo a note arrives this often, so escrow and stacking show without typing; the first
// one soon after the start, so a newcomer sees a whole note cycle before touching a key.
constexpr int kDemoNoteIntervalMs = 15000;
constexpr int kDemoFirstNoteMs = 3000;

#ifdef TARVIK_HAS_QT_WINDOW
bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return true;
  }
  return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // A standard stream started closed would be the slot the serial device lands in, and the log
  // would then be written onto the line: each gets /dev/null instead, and a closed standard
  // output is reported by the console.
  bool outputClosed = false;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
    if (fd == STDOUT_FILENO) outputClosed = true;
  }
  // Before any thread: a fatal signal gives the serial device back and restores the terminal,
  // whatever the front-end, then ends the process as that signal does.
  tarvik::InstallReleasingSignalHandlers(tarvik::console::RestoreTerminalForSignal);

  const tarvik::ParsedCommandLine parsed = tarvik::ParseHostOptions(argc, argv);
  if (parsed.help) {
    std::fputs(tarvik::kHostUsage, stdout);
    return 0;
  }
  if (parsed.version && parsed.error.empty()) {
    std::puts("tarvik-host " TARVIK_VERSION);
    return 0;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "tarvik-host: %s\n%s", parsed.error.c_str(), tarvik::kHostUsage);
    return tarvik::kExitUsage;
  }
  tarvik::HostOptions options = parsed.options;
  if (options.demo && !options.device.empty()) {
    std::fprintf(stderr, "tarvik-host: --demo brings its own device; drop --device\n");
    return tarvik::kExitUsage;
  }

  // The virtual validator of --demo runs on a pseudo-terminal for the whole run.
  tarvik::validator::VirtualValidatorRunner demoValidator;
  if (options.demo) {
    tarvik::validator::RunnerOptions runnerOptions;
    runnerOptions.autoNotesMs = kDemoNoteIntervalMs;
    runnerOptions.firstNoteMs = kDemoFirstNoteMs;
    // The host only polls until the operator acts; a validator waiting at power-up for a reset
    // would keep the demo silent, so it starts as one already reset.
    runnerOptions.startIdle = true;
    std::string error;
    std::string warning;
    if (!demoValidator.Start(runnerOptions, &error, &warning)) {
      std::fprintf(stderr, "tarvik-host: the demo validator did not start: %s\n", error.c_str());
      return kExitDemoFailed;
    }
    if (!warning.empty()) std::fprintf(stderr, "tarvik-host: %s\n", warning.c_str());
    options.device = demoValidator.SlavePath();
    std::fprintf(stderr, "tarvik-host: demo validator on %s\n", options.device.c_str());
  }

#ifdef TARVIK_HAS_QT_WINDOW
  if (!options.console) {
    if (DisplayAvailable()) {
      // A script's options mean nothing to the window; said rather than silently dropped.
      if (options.failFast || !options.summaryPath.empty()) {
        std::fputs("tarvik-host: --fail-fast and --summary apply to console runs only (the window "
                   "shows the summary under Help, \"Statistics\")\n",
                   stderr);
      }
      return tarvik::RunQtWindow(argc, argv, options);
    }
    std::fputs("tarvik-host: no display available; running on the console\n", stderr);
  }
#endif

  // The window's picture cannot be taken without the window.
  if (!options.screenshotPath.empty() || options.screenshotDelayMs ||
      options.screenshotView != "window") {
    std::fputs(
        "tarvik-host: --screenshot, --screenshot-delay and --screenshot-view picture the "
        "window; they need a display (under xvfb-run -a, for one) and no --console\n",
        stderr);
    return tarvik::kExitUsage;
  }
  // Options the window toolkit would have taken mean nothing to the console.
  if (!parsed.unknown.empty()) {
    std::fprintf(stderr, "tarvik-host: unknown option %s\n%s", parsed.unknown.front().c_str(),
                 tarvik::kHostUsage);
    return tarvik::kExitUsage;
  }

  tarvik::SerialPort port;
  if (!options.device.empty()) port.SetDeviceOverride(options.device);
  const tarvik::console::ConsoleIo io{STDIN_FILENO, ::isatty(STDIN_FILENO) == 1, outputClosed};
  return tarvik::console::RunConsole(options, port, io, [&port] { return port.WaitDescriptor(); });
}
