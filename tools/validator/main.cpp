// tarvik-validator: a virtual banknote validator on a pty or a serial device.
//
// The first line on stdout is the device the host is to open. Operator commands come one a
// line from --script, then from stdin; the trace of every frame goes to stderr.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/frame.h"
#include "tarvik_version.h"
#include "validator/validator_runner.h"
#include "validator/validator_texts.h"

namespace {

using tarvik::validator::CommandReply;
using tarvik::validator::RunnerOptions;
using tarvik::validator::VirtualValidatorRunner;

constexpr std::string_view kUsage =
    "usage: tarvik-validator (--pty | --device PATH) [options]\n"
    "A virtual banknote validator for tarvik-host, on a pseudo-terminal or a serial device.\n"
    "\n"
    "Options:\n"
    "  --pty                 create a pseudo-terminal; its slave path is printed first\n"
    "  --device PATH         use a serial device (8E1, raw)\n"
    "  --baud N              9600 (default), 19200 or 38400: line speed and pacing\n"
    "  --pace                send bytes at the line's real speed\n"
    "  --script FILE         run the commands in FILE first ('wait MS' pauses)\n"
    "  --auto-notes SECONDS  insert a note at this interval while idling (1..3600)\n"
    "  --expect-file PATH    the download check must find the CRC of this program file\n"
    "  --block-size N        image bytes per acceptance / Ad block (1..248, default 24)\n"
    "  --version             print the version and exit\n"
    "  --help, -h            print this text and exit\n"
    "Commands are read from stdin until it ends; with --pty or --auto-notes the validator\n"
    "then keeps serving until SIGINT or SIGTERM. 'help' lists the commands.\n"
    "\n"
    "Exit status:\n"
    "  0   normal end (input ended, or SIGINT/SIGTERM), --help or --version\n"
    "  1   it could not start: the device, the script or the expected file did not open\n"
    "  2   wrong command line\n";

constexpr std::size_t kProgramCrcLimit = 1u << 20;  // as much of a file as the host's CRC covers
constexpr int kMaxAutoNoteSeconds = 3600;

struct Options {
  RunnerOptions runner;
  bool pty = false;
  std::string script;
  std::string expectFile;
};

// One lock for stderr and stdout, so trace lines and replies never interleave mid-line.
std::mutex outputMutex;  // guards writes to stdout and stderr
std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();

void PrintTrace(std::string_view line) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
  std::lock_guard lock(outputMutex);
  std::fprintf(stderr, "%9.3f %.*s\n", seconds, static_cast<int>(line.size()), line.data());
}

void PrintReply(std::FILE* stream, std::string_view text) {
  std::lock_guard lock(outputMutex);
  std::fprintf(stream, "%.*s%s", static_cast<int>(text.size()), text.data(),
               text.ends_with('\n') ? "" : "\n");
  std::fflush(stream);
}

std::optional<int> ParseInt(const char* text, int low, int high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

// Returns the options, or nothing after printing why they are wrong.
std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  const auto fail = [](const std::string& why) -> std::optional<Options> {
    std::fprintf(stderr, "tarvik-validator: %s\n%.*s", why.c_str(), static_cast<int>(kUsage.size()),
                 kUsage.data());
    return std::nullopt;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--pty") {
      options.pty = true;
    } else if (arg == "--pace") {
      options.runner.pace = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::puts("tarvik-validator " TARVIK_VERSION);
      std::exit(0);
    } else if (!hasValue) {
      return fail("unknown option or missing value: " + std::string(arg));
    } else if (arg == "--device") {
      options.runner.devicePath = argv[++i];
    } else if (arg == "--script") {
      options.script = argv[++i];
    } else if (arg == "--expect-file") {
      options.expectFile = argv[++i];
    } else if (arg == "--baud") {
      const auto baud = ParseInt(argv[++i], 0, 1000000);
      if (!baud || !tarvik::validator::IsSupportedBaud(*baud)) {
        return fail("--baud takes 9600, 19200 or 38400");
      }
      options.runner.baud = *baud;
    } else if (arg == "--auto-notes") {
      const auto seconds = ParseInt(argv[++i], 1, kMaxAutoNoteSeconds);
      if (!seconds) return fail("--auto-notes takes 1.." + std::to_string(kMaxAutoNoteSeconds));
      options.runner.autoNotesMs = *seconds * 1000;
    } else if (arg == "--block-size") {
      const auto size = ParseInt(argv[++i], 1, 248);
      if (!size) return fail("--block-size takes 1..248");
      options.runner.timings.blockSize = *size;
    } else {
      return fail("unknown option: " + std::string(arg));
    }
  }
  if (options.pty == !options.runner.devicePath.empty()) {
    return fail("give exactly one of --pty and --device PATH");
  }
  return options;
}

// Reads lines from a descriptor without blocking the signal check.
class LineInput {
 public:
  explicit LineInput(int fd) : fd_(fd) {}
  // Waits for a whole line; false at the end of input or when `signalFd` fires.
  bool Next(int signalFd, std::string& line, bool& signalled) {
    for (;;) {
      const auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return true;
      }
      if (ended_) {
        if (buffer_.empty()) return false;
        line.swap(buffer_);
        buffer_.clear();
        return true;
      }
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {fd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        ended_ = true;
        continue;
      }
      if (fds[0].revents & POLLIN) {
        signalled = true;
        return false;
      }
      char chunk[512];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ended_ = true;
      }
    }
  }

 private:
  int fd_;
  std::string buffer_;
  bool ended_ = false;
};

// Waits `ms` (or for ever with -1) unless a signal comes first; true when one came.
bool WaitForSignal(int signalFd, int ms) {
  pollfd pfd{signalFd, POLLIN, 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int timeout = -1;
    if (ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(left.count());
    }
    const int r = ::poll(&pfd, 1, timeout);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

enum class LineResult { Continue, Quit, Signalled };

LineResult RunLine(VirtualValidatorRunner& runner, std::string_view line, int signalFd,
                   const std::string& where) {
  const auto first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return LineResult::Continue;
  line.remove_prefix(first);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  // `quit` and `wait` belong to the command input, not to the validator: a wait pauses the
  // script while the validator goes on answering the host.
  if (line == "quit") return LineResult::Quit;
  if (line.starts_with("wait ") || line == "wait") {
    std::string value(line.substr(4));
    value.erase(0, value.find_first_not_of(' '));
    const auto ms = ParseInt(value.c_str(), 0, 3600000);
    if (!ms) {
      PrintReply(stderr, "! " + where + "wait takes 0..3600000 ms");
      return LineResult::Continue;
    }
    return WaitForSignal(signalFd, *ms) ? LineResult::Signalled : LineResult::Continue;
  }
  const CommandReply reply = runner.Command(line);
  if (!reply.ok) {
    PrintReply(stderr, "! " + where + reply.text);
  } else if (!reply.text.empty()) {
    PrintReply(stdout, reply.text);
  }
  return LineResult::Continue;
}

// The CRC the host computes for a target file, so that --expect-file makes the download check
// agree with the host's own figure.
std::optional<std::uint16_t> FileCrc(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::uint16_t crc = tarvik::signatureSeed;
  char byte = 0;
  for (std::size_t i = 0; i < kProgramCrcLimit && file.get(byte); ++i) {
    crc = tarvik::CrcStep(crc, static_cast<std::uint8_t>(byte));
  }
  return crc;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = ParseArguments(argc, argv);
  if (!parsed) return 2;
  Options options = std::move(*parsed);

  // Signals are taken through a descriptor, so every thread started below inherits the mask and
  // the command loop can wait for input and a signal at once.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("tarvik-validator: signalfd");
    return 1;
  }

  options.runner.trace = PrintTrace;
  VirtualValidatorRunner runner;
  std::string error;
  std::string warning;
  if (!runner.Start(options.runner, &error, &warning)) {
    std::fprintf(stderr, "tarvik-validator: %s\n", error.c_str());
    return 1;
  }
  PrintReply(stdout, runner.SlavePath());
  if (!warning.empty()) PrintTrace("-- " + warning);

  if (!options.expectFile.empty()) {
    const auto crc = FileCrc(options.expectFile);
    if (!crc) {
      std::fprintf(stderr, "tarvik-validator: cannot read %s\n", options.expectFile.c_str());
      return 1;
    }
    char command[32];
    std::snprintf(command, sizeof command, "expect-crc %04X", *crc);
    runner.Command(command);
  }

  LineResult result = LineResult::Continue;
  if (!options.script.empty()) {
    std::ifstream script(options.script);
    if (!script) {
      std::fprintf(stderr, "tarvik-validator: cannot read %s\n", options.script.c_str());
      return 1;
    }
    std::string line;
    for (int number = 1; result == LineResult::Continue && std::getline(script, line); ++number) {
      result =
          RunLine(runner, line, signalFd, options.script + ":" + std::to_string(number) + ": ");
    }
  }
  if (result == LineResult::Continue) {
    LineInput input(STDIN_FILENO);
    std::string line;
    bool signalled = false;
    while (input.Next(signalFd, line, signalled)) {
      result = RunLine(runner, line, signalFd, "");
      if (result != LineResult::Continue) break;
    }
    if (signalled) result = LineResult::Signalled;
  }
  // Without command input a pty or a note machine still serves the host until it is stopped.
  if (result == LineResult::Continue && (options.pty || options.runner.autoNotesMs > 0)) {
    WaitForSignal(signalFd, -1);
  }
  runner.Stop();
  return 0;
}
