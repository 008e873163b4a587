#include "ui/console/console_front_end.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/comm_log.h"
#include "engine/run_summary.h"
#include "engine/settings.h"
#include "engine/worker_loop.h"
#include "ui/console/console_expectations.h"
#include "ui/console/console_input.h"
#include "ui/console/console_operator.h"
#include "ui/console/console_window_services.h"

namespace tarvik::console {

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long the end of input waits for the last exchange to finish.
constexpr auto kDrainLimit = std::chrono::seconds(5);
// Everything the event loop waits for wakes it (input, the worker, the timerfd); this long sleep
// is a safety net only.
constexpr int kSafetyWaitMs = 2000;
// The longest frame takes 292 ms on a 9,600 baud line; a write still going after this has met a
// line that does not take data.
constexpr std::int64_t kBlockedWriteNs = 500'000'000;
constexpr std::size_t kReadChunk = 4096;

// --- Terminal mode ---------------------------------------------------------------------------

// The terminal's settings before raw mode, restored on every way out, signals included.
termios gSavedTerminal{};
volatile sig_atomic_t gTerminalRaw = 0;

void RestoreTerminal() {
  if (gTerminalRaw != 0) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    gTerminalRaw = 0;
  }
}

// Keys arrive one by one and unechoed; Ctrl-C still interrupts.
bool EnterRawMode(int fd) {
  if (::tcgetattr(fd, &gSavedTerminal) != 0) return false;
  termios raw = gSavedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &raw) != 0) return false;
  gTerminalRaw = 1;
  return true;
}

// --- The loop's wake-up --------------------------------------------------------------------

class WakeEvent {
 public:
  WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~WakeEvent() {
    if (fd_ >= 0) ::close(fd_);
  }
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  int fd() const { return fd_; }
  void Wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  }
  void Drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

bool IsAnswerKey(char c) { return c == 'y' || c == 'Y' || c == 'n' || c == 'N'; }

// --- The console application -----------------------------------------------------------------

class ConsoleApp {
 public:
  ConsoleApp(const HostOptions& options, SerialLink& link, ConsoleIo io,
             std::function<int()> lineDescriptor)
      : options_(options),
        io_(io),
        services_(stdout, stderr),
        engine_(services_, link, clock_),
        worker_(engine_),
        parser_(io.terminal),
        operator_(engine_, options.acceptanceLog) {
    services_.Attach(&engine_);
    // The worker tells of every pass it ends; the loop listens only while it waits for one.
    worker_.SetPassEndHook([this] {
      if (waitingForPass_.load()) wake_.Wake();
    });
    services_.SetQuestionHandler([this](std::string_view text) { return Ask(text); });
    services_.SetEndHook(RestoreTerminal);
    ApplyHostOptions(options, engine_);
    services_.SetLogHook([this](std::string_view entry) {
      watch_.Add(entry);
      // A script waiting on an expectation looks again at once.
      if (expecting_.load()) wake_.Wake();
    });
    if (lineDescriptor) worker_.SetLineDescriptor(std::move(lineDescriptor));
    loopThread_ = std::this_thread::get_id();
  }

  ~ConsoleApp() {
    Shutdown();
    RestoreTerminal();
  }
  ConsoleApp(const ConsoleApp&) = delete;
  ConsoleApp& operator=(const ConsoleApp&) = delete;

  int Run();

 private:
  struct Flow {
    bool exit = false;
    int waitMs = -1;  // a `:wait`: stop reading input this long
    std::optional<Expectation> expect;
    bool failed = false;  // an expectation failed outright (its line could not be read)
  };
  // What became of the expectation being waited on, if any.
  enum class ExpectOutcome { None, Waiting, Held, Failed };

  // Waits up to `maxWaitMs` for input (when `watchInput`), a wake-up or a due timer, then
  // fires the due timers. Returns the bytes read, empty when none; sets `inputEnded_` at EOF.
  std::string Pump(int maxWaitMs, bool watchInput);
  Flow Handle(const InputEvent& event);
  bool EngineIdle() const;
  // EngineIdle, seen while no worker pass ran: a character the worker is taking is neither
  // pending nor an open exchange yet, so a look during a pass proves nothing.
  bool EngineSettled() const;
  // Runs the loop (timers, wake-ups; no input) until the worker has started up; the start-up
  // ends with a pass-end wake.
  void WaitForStartUp();
  // The worker has been inside one write for longer than a whole frame can take.
  bool LineBlocked() const;
  // Milliseconds until the write in progress would count as blocked (the safety wait if none).
  int MsUntilLineBlocked() const;
  // Waits (at most 5 s) until no operator command is pending, queued or awaiting its answer.
  void WaitUntilIdle();
  void Shutdown();
  ExpectOutcome CheckExpectation();
  // The exit status of a run that got going: 1 when an expectation failed, else 74 when the
  // log could not be written to standard output, else 0. The verdict on the validator comes
  // first; the summary still tells of both.
  int RunStatus() const {
    if (failures_ > 0) return 1;
    return services_.LogOutputFailed() ? kExitOutputFailed : 0;
  }
  // Prints the run summary on standard error and writes it as JSON where --summary asks;
  // returns `status`. Called once the worker has stopped.
  int Finish(int status);

  MessageResult Ask(std::string_view text);
  MessageResult AskOnLoopThread();
  // Hands bytes typed while a worker's question is open to that question; the rest is keys.
  std::string_view AnswerWorkerQuestion(std::string_view bytes);

  const HostOptions& options_;
  ConsoleIo io_;
  ConsoleWindowServices services_;
  RealClock clock_;
  Engine engine_;
  Worker worker_;
  InputParser parser_;
  ConsoleOperator operator_;
  WakeEvent wake_;
  std::thread::id loopThread_;
  bool inputEnded_ = false;
  std::atomic<bool> waitingForPass_{false};  // the pass-end hook wakes the loop
  bool lineBlockedNoted_ = false;
  std::string leftover_;  // bytes read past the answer of a question on the loop thread

  // Expectations: the entries logged, the one being waited on, and the tally.
  LogWatch watch_;
  std::optional<PendingExpectation> expectation_;
  SteadyClock::time_point expectationStart_{};
  std::atomic<bool> expecting_{false};  // read by the log hook on the worker thread
  std::uint64_t cursor_ = 0;            // entries before this are not matched again
  int held_ = 0;
  int failures_ = 0;

  // A question the worker thread waits on, answered by the loop from the terminal.
  std::mutex questionMutex_;  // guards the three fields below
  std::condition_variable questionAnswered_;
  bool workerQuestionOpen_ = false;
  std::optional<MessageResult> workerAnswer_;
  bool shuttingDown_ = false;
};

std::string ConsoleApp::Pump(int maxWaitMs, bool watchInput) {
  const int waitMs = std::clamp(maxWaitMs, 0, kSafetyWaitMs);
  std::array<pollfd, 3> fds{
      {{wake_.fd(), POLLIN, 0}, {services_.TimerDescriptor(), POLLIN, 0}, {io_.input, POLLIN, 0}}};
  const nfds_t count = watchInput && !inputEnded_ ? 3 : 2;
  std::string bytes;
  if (::poll(fds.data(), count, waitMs) > 0) {
    if ((fds[0].revents & POLLIN) != 0) wake_.Drain();
    if ((fds[1].revents & POLLIN) != 0) services_.FireDueTimers(SteadyClock::now());
    if (count == 3 && fds[2].revents != 0) {
      std::array<char, kReadChunk> buffer{};
      const ssize_t n = ::read(io_.input, buffer.data(), buffer.size());
      if (n > 0) {
        bytes.assign(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        inputEnded_ = true;
      }
    }
  }
  return bytes;
}

MessageResult ConsoleApp::Ask(std::string_view text) {
  if (!io_.terminal) return options_.answer == Answer::Yes ? MessageResult::Yes : MessageResult::No;
  services_.Echo("QUESTION: " + std::string(text) + " (y/n) ");
  if (std::this_thread::get_id() == loopThread_) return AskOnLoopThread();

  // The worker waits here; the window (the loop) keeps running and takes the answer.
  std::unique_lock lock(questionMutex_);
  if (shuttingDown_) return MessageResult::No;
  workerQuestionOpen_ = true;
  workerAnswer_.reset();
  wake_.Wake();
  questionAnswered_.wait(lock, [this] { return workerAnswer_.has_value() || shuttingDown_; });
  workerQuestionOpen_ = false;
  return workerAnswer_.value_or(MessageResult::No);
}

MessageResult ConsoleApp::AskOnLoopThread() {
  // A modal box on the window thread: timers go on, keys go to the box until it is answered.
  while (true) {
    std::string bytes = leftover_.empty() ? Pump(kSafetyWaitMs, true) : std::move(leftover_);
    leftover_.clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (!IsAnswerKey(bytes[i])) continue;
      leftover_ = bytes.substr(i + 1);
      services_.Echo(std::string(1, bytes[i]) + "\n");
      return (bytes[i] == 'y' || bytes[i] == 'Y') ? MessageResult::Yes : MessageResult::No;
    }
    if (inputEnded_) {
      services_.Echo("\n");
      return MessageResult::No;
    }
  }
}

std::string_view ConsoleApp::AnswerWorkerQuestion(std::string_view bytes) {
  std::lock_guard lock(questionMutex_);
  if (!workerQuestionOpen_ || workerAnswer_) return bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!IsAnswerKey(bytes[i])) continue;
    services_.Echo(std::string(1, bytes[i]) + "\n");
    workerAnswer_ = (bytes[i] == 'y' || bytes[i] == 'Y') ? MessageResult::Yes : MessageResult::No;
    questionAnswered_.notify_all();
    return bytes.substr(i + 1);
  }
  return {};
}

ConsoleApp::Flow ConsoleApp::Handle(const InputEvent& event) {
  const Reaction reaction = operator_.Handle(event);
  if (!reaction.echo.empty()) services_.Echo(reaction.echo);
  if (reaction.expectationUnreadable) {
    ++failures_;
    services_.Echo(reaction.note + "\n");
  } else if (!reaction.note.empty()) {
    services_.Note(reaction.note);
  }
  for (const auto& [caption, text] : reaction.fields) services_.ShowPageField(caption, text);
  if (reaction.endOfInput) inputEnded_ = true;
  return {reaction.exit, reaction.waitMs, reaction.expect, reaction.expectationUnreadable};
}

ConsoleApp::ExpectOutcome ConsoleApp::CheckExpectation() {
  if (!expectation_) return ExpectOutcome::None;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           SteadyClock::now() - expectationStart_)
                           .count();
  const PendingExpectation::Verdict verdict = expectation_->Check(watch_, elapsed);
  if (verdict == PendingExpectation::Verdict::Waiting) return ExpectOutcome::Waiting;
  cursor_ = expectation_->NextCursor();
  watch_.Consume(cursor_);
  const bool held = verdict == PendingExpectation::Verdict::Held;
  if (held) {
    ++held_;
  } else {
    ++failures_;
    services_.Echo(expectation_->FailureMessage() + "\n");
  }
  expectation_.reset();
  expecting_.store(false);
  return held ? ExpectOutcome::Held : ExpectOutcome::Failed;
}

int ConsoleApp::Finish(int status) {
  const StatisticsSnapshot statistics = engine_.statistics.Snapshot();
  std::string text = FormatSummaryText(statistics);
  text += "Expectations: " + std::to_string(held_) + " held, " + std::to_string(failures_) +
          " failed\n";
  services_.Echo(text);
  if (!options_.summaryPath.empty()) {
    const std::string json =
        FormatSummaryJson(statistics, {{"exit_status", status},
                                       {"expectations_held", held_},
                                       {"expectations_failed", failures_}});
    errno = 0;
    std::FILE* file = std::fopen(options_.summaryPath.c_str(), "w");
    const bool written = file != nullptr && std::fwrite(json.data(), 1, json.size(), file) ==
                                                json.size();
    const int error = errno;
    const bool closed = file != nullptr && std::fclose(file) == 0;
    if (!written || !closed) {
      services_.Echo("tarvik-host: cannot write the summary to " + options_.summaryPath + ": " +
                     std::strerror(error != 0 ? error : errno) + "\n");
    }
  }
  return status;
}

bool ConsoleApp::LineBlocked() const {
  return engine_.state.writeStartedNs.load() != 0 && MsUntilLineBlocked() == 0;
}

bool ConsoleApp::EngineIdle() const {
  const EngineState& s = engine_.state;
  if (s.portOpen.load() == 0) return s.pendingCommand.load() == 0;
  return s.awaitingResponse.load() == 0 && s.pendingCommand.load() == 0 &&
         s.commandQueued.load() == 0 && s.immediateStatusRequest.load() == 0 &&
         s.globalDownloadActive.load() == 0;
}

bool ConsoleApp::EngineSettled() const {
  const std::uint64_t before = worker_.PassSequence();
  if (before % 2 != 0) return false;
  return EngineIdle() && worker_.PassSequence() == before;
}

int ConsoleApp::MsUntilLineBlocked() const {
  const std::int64_t started = engine_.state.writeStartedNs.load();
  if (started == 0) return kSafetyWaitMs;
  const std::int64_t now = SteadyClock::now().time_since_epoch() / std::chrono::nanoseconds(1);
  const std::int64_t left = started + kBlockedWriteNs - now;
  return static_cast<int>(std::clamp<std::int64_t>((left + 999'999) / 1'000'000, 0, kSafetyWaitMs));
}

void ConsoleApp::WaitForStartUp() {
  // Raised before the first look: a pass that ends after it wakes the loop.
  waitingForPass_.store(true);
  while (!worker_.StartedUp()) Pump(kSafetyWaitMs, false);
  waitingForPass_.store(false);
}

void ConsoleApp::WaitUntilIdle() {
  auto deadline = SteadyClock::now() + kDrainLimit;
  bool blocked = false;
  // Raised before the first look: a pass that ends after it wakes the loop.
  waitingForPass_.store(true);
  while (true) {
    blocked = LineBlocked();
    if (blocked || EngineSettled()) break;
    const auto now = SteadyClock::now();
    // A download is let finish: a normal one ends by its check result or within 20 s of a
    // silent validator (timer 1), a global one after its fixed waits.
    const EngineState& s = engine_.state;
    if ((s.normalDownloadActive.load() != 0 && s.awaitingResponse.load() != 0) ||
        s.globalDownloadActive.load() != 0) {
      deadline = now + kDrainLimit;
    }
    if (now >= deadline) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    // A write that hangs ends no pass: the loop looks again when it would count as blocked.
    Pump(static_cast<int>(std::min<std::int64_t>(left.count(), MsUntilLineBlocked())), false);
  }
  waitingForPass_.store(false);
  if (blocked && !lineBlockedNoted_) {
    // Nothing the worker waits for can come while the line takes no data.
    services_.Note(
        "the line has taken no data for a while (has the validator stopped "
        "reading?); not waiting for the last answer");
    lineBlockedNoted_ = true;
  }
}

void ConsoleApp::Shutdown() {
  {
    std::lock_guard lock(questionMutex_);
    shuttingDown_ = true;
    questionAnswered_.notify_all();
  }
  // Closed before the join: a write blocked on a line that takes no data is woken by the close,
  // so the worker ends within one wait slice instead of running out its write time-out.
  engine_.port.Close();
  worker_.Stop();
}

int ConsoleApp::Run() {
  if (io_.outputClosed) services_.ReportLogOutputFailure("it is closed");
  const std::string settingsPath =
      options_.settingsPath.empty() ? DefaultSettingsPath() : options_.settingsPath;
  InitialiseEngine(engine_, settingsPath);
  operator_.SetSettingsPath(settingsPath);
  if (io_.terminal && !EnterRawMode(io_.input)) {
    // Without raw mode the terminal delivers whole lines, as a pipe does.
    io_.terminal = false;
    parser_ = InputParser(false);
  }
  worker_.Start();
  WaitForStartUp();
  if (!io_.terminal && engine_.state.portOpen.load() == 0) {
    // A script without its validator has nothing to run against.
    Shutdown();
    return Finish(kExitPortUnavailable);
  }

  std::deque<InputEvent> pending;
  std::vector<InputEvent> parsed;
  // A script's `:wait` holds its keys until `pausedUntil`. Kept as a flag and a time rather than
  // a std::optional: GCC 12 at -O3 reports the optional's payload as maybe-uninitialized (its
  // bug 80635) although every read is behind the test.
  bool paused = false;
  SteadyClock::time_point pausedUntil{};
  bool inputFinished = false;
  bool failedFast = false;
  while (true) {
    const auto now = SteadyClock::now();
    if (paused && now >= pausedUntil) paused = false;
    if (CheckExpectation() == ExpectOutcome::Failed && options_.failFast) {
      // As at the end of input: the open exchange may finish, nothing more is read.
      failedFast = true;
      break;
    }
    while (!paused && !expectation_ && !pending.empty()) {
      const InputEvent event = std::move(pending.front());
      pending.pop_front();
      // A script's keys arrive faster than any hand types: each waits until the one before it
      // has been sent and answered, so none overwrites another in the one-slot hand-over, and a
      // value typed for the next command cannot replace the one a queued command still carries.
      if (!io_.terminal && (event.kind == InputKind::Key || event.kind == InputKind::DisplayMode ||
                            (event.kind == InputKind::Command && IsSendCommand(event.text)))) {
        WaitUntilIdle();
      }
      Flow flow = Handle(event);
      if (flow.exit) {
        Shutdown();
        return Finish(RunStatus());
      }
      if (flow.waitMs >= 0) {
        paused = true;
        pausedUntil = SteadyClock::now() + std::chrono::milliseconds(flow.waitMs);
      }
      if (flow.failed && options_.failFast) {
        failedFast = true;
        break;
      }
      if (flow.expect) {
        expectationStart_ = SteadyClock::now();
        expectation_.emplace(std::move(*flow.expect), cursor_);
        expecting_.store(true);
        // An entry already logged may settle it at once.
        if (CheckExpectation() == ExpectOutcome::Failed && options_.failFast) {
          failedFast = true;
          break;
        }
      }
    }
    if (failedFast) break;
    if (inputEnded_ && !inputFinished && leftover_.empty()) {
      // A last command line without its line end still counts.
      parsed.clear();
      parser_.Finish(parsed);
      inputFinished = true;
      for (InputEvent& event : parsed) pending.push_back(std::move(event));
      continue;
    }
    // A script may end on a `:wait` or an expectation: it is kept before the end of input is
    // acted on.
    if (inputFinished && pending.empty() && leftover_.empty() && !paused && !expectation_) break;

    bool questionOpen = false;
    {
      std::lock_guard lock(questionMutex_);
      questionOpen = workerQuestionOpen_ && !workerAnswer_;
    }
    int waitMs = kSafetyWaitMs;
    if (paused) {
      waitMs =
          static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(pausedUntil - now).count());
    }
    if (expectation_) {
      const auto due = expectationStart_ + std::chrono::milliseconds(expectation_->Ms());
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
      waitMs = std::min(waitMs, static_cast<int>(left));
    }
    const bool readMore = questionOpen || (pending.empty() && !paused && !expectation_);
    std::string bytes = leftover_.empty() ? Pump(waitMs, readMore) : std::move(leftover_);
    leftover_.clear();
    parsed.clear();
    if (!bytes.empty()) parser_.Feed(AnswerWorkerQuestion(bytes), parsed);
    for (InputEvent& event : parsed) pending.push_back(std::move(event));
  }

  WaitUntilIdle();
  CloseLogFile(engine_);
  Shutdown();
  return Finish(RunStatus());
}

}  // namespace

void RestoreTerminalForSignal() {
  // Only async-signal-safe calls here.
  if (gTerminalRaw != 0) ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
}

int RunConsole(const HostOptions& options, SerialLink& link, ConsoleIo io,
               std::function<int()> lineDescriptor) {
  ConsoleApp app(options, link, io, std::move(lineDescriptor));
  return app.Run();
}

}  // namespace tarvik::console
