// Test doubles for the engine's seams.
//
// FakeWindowServices records every call, in order, as one line of text ("StartTimer 2 200",
// "Message: text", "Field Validator Status: Enable", ...), keeps the state a window would show
// (labels, fields, the log box, running timers) and lets a test fire a timer by hand, so engine
// tests are deterministic and need no clock. It is safe to call from the worker thread.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tarvik::testing {

class FakeWindowServices : public WindowServices {
 public:
  FakeWindowServices();

  // The engine whose HandleTimer a fired timer calls.
  void Attach(Engine* engine) { engine_ = engine; }

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
  // "Progress Normal Sending 246/1000", "Progress Global Waiting 0/0 wait 3000 then 70000"
  void ShowDownloadProgress(const DownloadProgress& progress) override;
  void EndProgram() override;
  // Not recorded among the calls: only whether the updates are held, and what came meanwhile.
  void HoldUpdates() override;
  void ReleaseUpdates() override;

  // --- For the test ---
  // Fires timer `id` as its expiry would: HandleTimer on the attached engine. The timer need not
  // be running; `IsRunning` tells whether the engine left it running.
  void Fire(int id);
  bool IsRunning(int id) const;
  int PeriodOf(int id) const;  // period of a running timer, 0 when stopped

  // Answers given to Yes/No boxes, in order; Yes when none is left.
  void QueueAnswer(MessageResult answer);

  std::vector<std::string> Calls() const;
  // Calls that start with `prefix`, in order.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
  void ClearCalls();

  std::string Field(const std::string& caption) const;  // "" when never written
  std::string LabelText(Label label) const;
  std::vector<std::string> Messages() const;  // texts of every box shown
  bool EndProgramCalled() const;
  bool Held() const;
  // The log entries appended while the updates were held, in order.
  std::vector<std::string> HeldLogEntries() const;

 private:
  void Record(std::string call);

  mutable std::mutex mutex_;  // guards everything below
  Engine* engine_ = nullptr;
  std::vector<std::string> calls_;
  std::map<int, int> runningTimers_;
  std::map<Label, std::string> labels_;
  std::map<std::string, std::string> fields_;
  std::deque<MessageResult> answers_;
  std::vector<std::string> messages_;
  std::string logBox_;
  bool endProgram_ = false;
  bool held_ = false;
  std::vector<std::string> heldLogEntries_;
};

// A serial link that a test scripts: bytes to deliver, writes to refuse, what was written.
class FakeSerialLink : public SerialLink {
 public:
  int Open(int portNumber, int baudRate) override;
  int Close() override;
  int Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) override;
  int Read(std::uint8_t* buffer, std::uint32_t count) override;
  bool IsOpen() const override;
  std::string OpenFailureReason() const override;

  // Bytes the "validator" sends; they become readable at once.
  void Deliver(const std::vector<std::uint8_t>& bytes);
  std::size_t Queued() const;
  // Every frame written, one entry per successful Write.
  std::vector<std::vector<std::uint8_t>> Written() const;
  void ClearWritten();
  void RefuseOpen(bool refuse, std::string reason = {});
  void RefuseWrites(bool refuse);
  int LastPortNumber() const;
  int LastBaudRate() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  bool open_ = false;
  bool refuseOpen_ = false;
  std::string openFailure_;
  bool refuseWrites_ = false;
  int portNumber_ = 0;
  int baudRate_ = 0;
  std::deque<std::uint8_t> incoming_;
  std::vector<std::vector<std::uint8_t>> written_;
};

// A clock that never sleeps. Its time starts at 0 and moves only by pauses and waits. A pause
// adds to `pausedMs` and runs `onPause`, where a test can deliver the bytes that "arrive" during
// it; a wait for input ends at the first event scheduled with `At` before its time-out (as the
// real wait ends when a byte arrives), or runs its whole time-out.
class FakeClock : public Clock {
 public:
  void Pause(int ms) override;
  std::tm LocalTime() override { return now; }
  TimePoint Now() override { return TimePoint{} + elapsed; }
  void WaitForInput(SerialLink& link, std::chrono::microseconds timeout) override;

  // Runs `what` (typically a delivery of bytes) once the clock reaches `when`.
  void At(std::chrono::microseconds when, std::function<void()> what);

  std::function<void(int ms)> onPause;
  long long pausedMs = 0;
  std::chrono::microseconds elapsed{0};
  std::tm now{};  // a test sets the date it wants

 private:
  // Moves the time to `until`, running every event due by then in time order.
  void AdvanceTo(std::chrono::microseconds until);
  std::multimap<std::chrono::microseconds, std::function<void()>> events_;
};

// Formats bytes as "FC 05 11 27 56".
std::string Hex(const std::vector<std::uint8_t>& bytes);
// Builds a complete frame (SYNC 0xFC, LNG, CMD, data, CRC).
std::vector<std::uint8_t> MakeFrame(std::uint8_t cmd, const std::vector<std::uint8_t>& data = {},
                                    std::uint8_t sync = 0xFC);

}  // namespace tarvik::testing
