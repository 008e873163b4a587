#include "ui/console/console_window_services.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>

#include "engine/download_progress.h"

namespace tarvik::console {

namespace {

// What the main window's labels read before anything sets them.
const std::map<Label, std::string> kInitialLabels = {
    {Label::StackMode, "[ Stack1 ]"},
    {Label::AckMode, "AUTO"},
    {Label::PollingMode, "[ AUTO ]"},
    {Label::DisplayMode, "Binary and Full"},
};

std::string_view WithoutTrailingLineEnds(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The box form of an entry (CRLF) in the form of the log file (LF).
std::string FileForm(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

bool ValidTimer(int id) { return id >= kDownloadTimer && id <= kResponseTimer; }

}  // namespace

ConsoleWindowServices::ConsoleWindowServices(std::FILE* log, std::FILE* effects)
    : log_(log),
      effects_(effects),
      labels_(kInitialLabels),
      timerFd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (timerFd_ < 0) {
    throw std::runtime_error(std::string("timerfd_create: ") + std::strerror(errno));
  }
}

ConsoleWindowServices::~ConsoleWindowServices() { ::close(timerFd_); }

void ConsoleWindowServices::WriteEffect(const std::string& line) {
  std::fputs(line.c_str(), effects_);
  std::fputc('\n', effects_);
  std::fflush(effects_);
}

void ConsoleWindowServices::StartTimer(int id, int ms) {
  if (!ValidTimer(id)) return;
  std::lock_guard lock(timerMutex_);
  Timer& timer = timers_[static_cast<std::size_t>(id)];
  timer.running = true;
  // A zero or negative period would fire without pause; one millisecond is the finest step.
  timer.periodMs = ms > 0 ? ms : 1;
  timer.due = SteadyClock::now() + std::chrono::milliseconds(timer.periodMs);
  ++timer.generation;
  ArmLocked();
}

void ConsoleWindowServices::StopTimer(int id) {
  if (!ValidTimer(id)) return;
  std::lock_guard lock(timerMutex_);
  Timer& timer = timers_[static_cast<std::size_t>(id)];
  if (!timer.running) return;
  timer.running = false;
  ++timer.generation;
  ArmLocked();
}

void ConsoleWindowServices::ArmLocked() {
  SteadyClock::time_point earliest = SteadyClock::time_point::max();
  for (const Timer& timer : timers_) {
    if (timer.running && timer.due < earliest) earliest = timer.due;
  }
  if (earliest == armedFor_) return;
  armedFor_ = earliest;
  itimerspec due{};  // all zero: disarmed
  if (earliest != SteadyClock::time_point::max()) {
    // steady_clock is CLOCK_MONOTONIC, so its time is the timerfd's absolute time.
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch()).count();
    due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    // An absolute time of zero would disarm instead.
    if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;
  }
  ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &due, nullptr);
}

void ConsoleWindowServices::FireDueTimers(SteadyClock::time_point now) {
  std::uint64_t expirations = 0;
  [[maybe_unused]] const ssize_t n = ::read(timerFd_, &expirations, sizeof expirations);

  struct Due {
    int id;
    std::uint64_t generation;
  };
  // At most one expiry per timer: kept on the stack, as this runs on every wake of the loop.
  std::array<Due, std::tuple_size_v<decltype(timers_)>> due{};
  std::size_t dueCount = 0;
  {
    std::lock_guard lock(timerMutex_);
    for (int id = kDownloadTimer; id <= kResponseTimer; ++id) {
      Timer& timer = timers_[static_cast<std::size_t>(id)];
      if (!timer.running || timer.due > now) continue;
      // The next period counts from now: a late expiry is not made up by a burst.
      timer.due = now + std::chrono::milliseconds(timer.periodMs);
      due[dueCount++] = {id, timer.generation};
    }
    ArmLocked();
  }
  for (const Due& expiry : std::span(due.data(), dueCount)) {
    {
      // A handler run before this one, or the worker meanwhile, may have stopped or restarted
      // this timer; such an expiry is dropped, as a window drops a stopped timer's tick.
      std::lock_guard lock(timerMutex_);
      const Timer& timer = timers_[static_cast<std::size_t>(expiry.id)];
      if (!timer.running || timer.generation != expiry.generation) continue;
    }
    if (engine_ != nullptr) HandleTimer(*engine_, expiry.id);
  }
}

MessageResult ConsoleWindowServices::ShowMessage(std::string_view text, MessageIcon /*icon*/,
                                                 MessageButtons buttons, std::string_view caption) {
  // One line per effect: the lines of a box's text are joined by a blank.
  std::string shown;
  for (const char c : WithoutTrailingLineEnds(text)) {
    if (c == '\r') continue;
    shown.push_back(c == '\n' ? ' ' : c);
  }
  if (buttons == MessageButtons::Ok) {
    std::lock_guard lock(outputMutex_);
    // A box's own caption tells which field a message is about; the program's name is implied.
    WriteEffect(caption.empty() ? "MESSAGE: " + shown
                                : "MESSAGE [" + std::string(caption) + "]: " + shown);
    return MessageResult::Ok;
  }
  // The answer may take a person's time: nothing is locked while it is awaited.
  const MessageResult answer = questionHandler_ ? questionHandler_(shown) : MessageResult::Yes;
  std::lock_guard lock(outputMutex_);
  WriteEffect("QUESTION: " + shown + (answer == MessageResult::Yes ? " -> Yes" : " -> No"));
  return answer;
}

void ConsoleWindowServices::ShowField(std::string_view caption, std::string_view text) {
  WriteEffect("FIELD " + std::string(caption) + ": " + std::string(text));
}

void ConsoleWindowServices::ShowValidatorStatus(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  if (validatorStatusShown_ && validatorStatus_ == text) return;
  validatorStatusShown_ = true;
  validatorStatus_ = text;
  ShowField("Validator Status", text);
}

void ConsoleWindowServices::ShowCommStatus(std::string_view text) {
  // Called on every pass of the receiver: only a change is worth a line.
  std::lock_guard lock(outputMutex_);
  if (commStatusShown_ && commStatus_ == text) return;
  commStatusShown_ = true;
  commStatus_ = text;
  ShowField("Comminucation Status", text);
}

void ConsoleWindowServices::ShowVersion(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  ShowField("Version", text);
}

void ConsoleWindowServices::ShowBootVersion(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  ShowField("Boot ROM Version", text);
}

void ConsoleWindowServices::ShowMachineNumber(std::string_view machineNumber) {
  std::lock_guard lock(outputMutex_);
  ShowField("Machine No.", machineNumber);
}

void ConsoleWindowServices::ShowSettingValue(SettingField field, std::string_view text) {
  std::lock_guard lock(outputMutex_);
  ShowField(FieldCaption(field), text);
}

void ConsoleWindowServices::SetLabelText(Label label, std::string_view text) {
  std::lock_guard lock(outputMutex_);
  labels_[label] = text;
  WriteEffect("LABEL " + std::string(LabelCaption(label)) + ": " + std::string(text));
}

std::string ConsoleWindowServices::GetLabelText(Label label) {
  std::lock_guard lock(outputMutex_);
  const auto it = labels_.find(label);
  return it == labels_.end() ? std::string() : it->second;
}

void ConsoleWindowServices::AppendLogText(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  AppendToLogBoxText(logBox_, text);
  const std::string line = FileForm(text);
  const std::size_t written = std::fwrite(line.data(), 1, line.size(), log_);
  // Each entry is on its way at once, so a script reading the log never waits for a buffer.
  if ((std::fflush(log_) != 0 || written != line.size()) && !logOutputFailed_) {
    // A full disk or a closed stream would lose the recording without a word otherwise.
    ReportLogOutputFailureLocked(std::strerror(errno));
  }
  if (logHook_) logHook_(text);
}

void ConsoleWindowServices::ReportLogOutputFailure(std::string_view why) {
  std::lock_guard lock(outputMutex_);
  if (!logOutputFailed_) ReportLogOutputFailureLocked(why);
}

void ConsoleWindowServices::ReportLogOutputFailureLocked(std::string_view why) {
  logOutputFailed_ = true;
  WriteEffect("tarvik-host: the communication log could not be written to standard output (" +
              std::string(why) + "); the run goes on and ends with status " +
              std::to_string(kExitOutputFailed));
}

bool ConsoleWindowServices::LogOutputFailed() const {
  std::lock_guard lock(outputMutex_);
  return logOutputFailed_;
}

std::string ConsoleWindowServices::GetLogText() {
  std::lock_guard lock(outputMutex_);
  return logBox_;
}

void ConsoleWindowServices::ClearLogBox() {
  // What is printed stays printed; the box behind GetLogText starts again.
  std::lock_guard lock(outputMutex_);
  logBox_.clear();
}

void ConsoleWindowServices::EnableDownloadButton(DownloadButton which, bool on) {
  std::lock_guard lock(outputMutex_);
  WriteEffect(std::string("BUTTON ") +
              (which == DownloadButton::Normal ? "Normal Download" : "Global Download") + ": " +
              (on ? "on" : "off"));
}

void ConsoleWindowServices::ShowDownloadProgress(const DownloadProgress& progress) {
  // Each per cent once, and only the long fixed waits: a line per packet or per second of a
  // long transfer would bury the other effects.
  constexpr int kShownWaitMs = 3000;
  std::lock_guard lock(outputMutex_);
  const SteadyClock::time_point now = SteadyClock::now();
  long long elapsedMs = 0;
  switch (progress.stage) {
    case DownloadProgress::Stage::Sending: {
      if (downloadPercent_ < 0) downloadStart_ = now;
      const int percent = ProgressPercent(progress.bytesSent, progress.totalBytes);
      if (percent == downloadPercent_) return;
      downloadPercent_ = percent;
      elapsedMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - downloadStart_).count();
      break;
    }
    case DownloadProgress::Stage::Waiting:
      if (progress.waitMs < kShownWaitMs) return;
      break;
    case DownloadProgress::Stage::Finished:
    case DownloadProgress::Stage::Stopped:
      downloadPercent_ = -1;
      break;
  }
  WriteEffect("DOWNLOAD: " + DescribeDownloadProgress(progress, elapsedMs));
}

void ConsoleWindowServices::ShowPageField(std::string_view caption, std::string_view text) {
  std::lock_guard lock(outputMutex_);
  ShowField(caption, text);
}

void ConsoleWindowServices::EndProgram() {
  if (endHook_) endHook_();
  {
    std::lock_guard lock(outputMutex_);
    std::fflush(log_);
    std::fflush(effects_);
    if (logOutputFailed_) std::_Exit(kExitOutputFailed);
  }
  std::_Exit(0);
}

void ConsoleWindowServices::Note(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  WriteEffect("CONSOLE: " + std::string(text));
}

void ConsoleWindowServices::Echo(std::string_view text) {
  std::lock_guard lock(outputMutex_);
  std::fwrite(text.data(), 1, text.size(), effects_);
  std::fflush(effects_);
}

}  // namespace tarvik::console
