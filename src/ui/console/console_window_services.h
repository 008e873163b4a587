// The window services on a text console. Standard output carries the communication log and
// nothing else, in its log-file form; every other effect is one line on standard error:
//
//   MESSAGE: text                  an OK box
//   MESSAGE [caption]: text        an OK box with a caption of its own
//   QUESTION: text -> Yes          a Yes/No box and the answer it got
//   FIELD caption: text            a Validator Information field
//   LABEL caption: text            a main-window label (modes, device address, ...)
//   BUTTON caption: on|off         a download button enabled or disabled
//   DOWNLOAD: text                 a download's progress (per cent steps, long waits, the end)
//
// Timers are kept here and fired by the console's event loop (`FireDueTimers`), which is the
// console's window thread: every expiry runs HandleTimer there. One timerfd, armed for the
// earliest due timer, tells the loop when to do so: starting or stopping a timer re-arms it
// without waking anyone, so the loop wakes only when a timer is due.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "engine/engine.h"

namespace tarvik::console {

// Exit status of a run whose communication log could not be written (EX_IOERR, as 64 for a
// wrong command line is EX_USAGE).
inline constexpr int kExitOutputFailed = 74;

class ConsoleWindowServices final : public WindowServices {
 public:
  using SteadyClock = std::chrono::steady_clock;
  // Answers a Yes/No question; may prompt on its own. The "QUESTION: text -> answer" line is
  // written once the answer is known.
  using QuestionHandler = std::function<MessageResult(std::string_view text)>;

  ConsoleWindowServices(std::FILE* log, std::FILE* effects);
  ~ConsoleWindowServices() override;
  ConsoleWindowServices(const ConsoleWindowServices&) = delete;
  ConsoleWindowServices& operator=(const ConsoleWindowServices&) = delete;

  // The engine whose HandleTimer the timers call. Set before any timer can fire.
  void Attach(Engine* engine) { engine_ = engine; }
  // Who answers Yes/No questions; without one every question is answered Yes.
  void SetQuestionHandler(QuestionHandler handler) { questionHandler_ = std::move(handler); }

  void StartTimer(int id, int ms) override;
  void StopTimer(int id) override;
  MessageResult ShowMessage(std::string_view text, MessageIcon icon, MessageButtons buttons,
                            std::string_view caption) override;
  using WindowServices::ShowMessage;
  void ShowValidatorStatus(std::string_view text) override;
  void ShowCommStatus(std::string_view text) override;
  void ShowVersion(std::string_view text) override;
  void ShowBootVersion(std::string_view text) override;
  void ShowMachineNumber(std::string_view machineNumber) override;
  void ShowSettingValue(SettingField field, std::string_view text) override;
  void SetLabelText(Label label, std::string_view text) override;
  std::string GetLabelText(Label label) override;
  void AppendLogText(std::string_view text) override;
  std::string GetLogText() override;
  void ClearLogBox() override;
  void EnableDownloadButton(DownloadButton which, bool on) override;
  void ShowDownloadProgress(const DownloadProgress& progress) override;
  // A field of a tab page the console shows itself (the Download tab's path, CRC and header).
  void ShowPageField(std::string_view caption, std::string_view text);
  // Runs the end hook (terminal restore), flushes both streams and ends the process with 0, or
  // with kExitOutputFailed when the communication log could not be written.
  void EndProgram() override;
  // Whether a write of the communication log to its stream has failed (reported once, on
  // standard error, when it first did).
  bool LogOutputFailed() const;
  // Records a failure found before the first write (standard output closed at the start).
  void ReportLogOutputFailure(std::string_view why);
  void SetEndHook(std::function<void()> hook) { endHook_ = std::move(hook); }
  // Called with every log entry as it is written (box form), from the thread that logs it. The
  // hook must not call back into these services. Set before the worker starts.
  void SetLogHook(std::function<void(std::string_view)> hook) { logHook_ = std::move(hook); }

  // A line of the console's own on standard error ("CONSOLE: text").
  void Note(std::string_view text);
  // Text written to standard error as it is (the echo of a command line being typed).
  void Echo(std::string_view text);

  // --- The event loop's side ---
  // Readable when a timer is due (a timerfd on the monotonic clock); FireDueTimers clears it.
  int TimerDescriptor() const { return timerFd_; }
  // Runs HandleTimer for every timer that is due, on the calling thread, with no lock held: the
  // handler starts and stops timers, and the worker may do so meanwhile.
  void FireDueTimers(SteadyClock::time_point now);

 private:
  void WriteEffect(const std::string& line);
  void ReportLogOutputFailureLocked(std::string_view why);
  void ShowField(std::string_view caption, std::string_view text);

  std::FILE* const log_;
  std::FILE* const effects_;
  Engine* engine_ = nullptr;
  QuestionHandler questionHandler_;
  std::function<void()> endHook_;
  std::function<void(std::string_view)> logHook_;

  // Guards the two streams and everything shown, so lines keep the order of the calls.
  mutable std::mutex outputMutex_;
  std::string logBox_;
  std::map<Label, std::string> labels_;
  std::string validatorStatus_;
  std::string commStatus_;
  bool validatorStatusShown_ = false;
  bool commStatusShown_ = false;
  // The download being shown: when its first packet went, the last per cent written.
  SteadyClock::time_point downloadStart_{};
  int downloadPercent_ = -1;
  bool logOutputFailed_ = false;

  struct Timer {
    bool running = false;
    int periodMs = 0;
    SteadyClock::time_point due{};
    std::uint64_t generation = 0;  // counts starts and stops
  };
  // Arms the timerfd for the earliest running timer, or disarms it; with timerMutex_ held.
  void ArmLocked();

  // Guards `timers_`, `armedFor_` and the arming of the timerfd.
  std::mutex timerMutex_;
  std::array<Timer, 4> timers_{};
  SteadyClock::time_point armedFor_ = SteadyClock::time_point::max();  // max: disarmed
  const int timerFd_;
};

}  // namespace tarvik::console
