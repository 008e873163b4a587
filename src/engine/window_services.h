// Everything the engine needs from a front-end: timers, message boxes, the texts of the
// Validator Information fields and the mode labels, the communication log box, the download
// buttons and the end of the program.
//
// Every operation may be called from the worker thread as well as from the window thread, and a
// front-end keeps the effects in call order. Timer expiry is reported back by calling
// `HandleTimer(engine, id)` on the front-end's own (window) thread. The Qt window, the console
// front-end and the recording test double all implement this one interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik {

// The three engine timers.
inline constexpr int kDownloadTimer = 1;  // 20-second watchdog of a normal download
inline constexpr int kPollingTimer = 2;   // status polling, `polling_duration` ms
inline constexpr int kResponseTimer = 3;  // 300 ms answer deadline of an operator command

enum class MessageIcon { None, Exclamation, Question, Information };
enum class MessageButtons { Ok, YesNo };
enum class MessageResult { Ok, Yes, No };

// Labels of the main window that the engine sets and reads (control numbers of the layout).
enum class Label {
  StackMode = 1047,
  AckMode = 1048,
  PollingMode = 1061,
  DisplayMode = 1088,
  PollingDuration = 1071,
  DeviceAddress = 1072,
  Port = 1073,
};

// The eight setting fields of the Validator Information tab.
enum class SettingField {
  Direction = 1031,
  Disable = 1032,
  Inhibit = 1033,
  Security = 1034,
  OptionalFuncs = 1035,
  CommMode = 1036,
  BarcodeFunc = 1037,
  BarcodeInhibit = 1038,
};

enum class DownloadButton { Normal = 1121, Global = 1007 };

// How far a download has come, for the Download tab's progress bar and count-down.
struct DownloadProgress {
  enum class Kind { Normal, Global };
  enum class Stage {
    Sending,   // a data packet has gone out; `bytesSent` counts it
    Waiting,   // a global download's fixed wait of `waitMs` begins now
    Finished,  // the download is over (the check result, or the last broadcast frame)
    Stopped,   // the download ended without its end
  };
  Kind kind = Kind::Normal;
  Stage stage = Stage::Sending;
  std::uint32_t bytesSent = 0;
  std::uint32_t totalBytes = 0;
  int waitMs = 0;       // Waiting: the length of the wait beginning now
  int laterWaitMs = 0;  // global download: the fixed waits still to come after this one
};

// A copy of the settings store, so a front-end never reads engine fields from its own thread.
struct SettingsSnapshot {
  std::int32_t disableSetting = 0;
  std::int32_t securitySetting = 0;
  std::int32_t commModeSetting = 0;
  std::int32_t inhibitSetting = 0;
  std::int32_t directionSetting = 0;
  std::int32_t functionSetting = 0;
  std::int32_t barcodeFunctionSetting = 0;
  std::int32_t barcodeInhibitSetting = 0xFE;
};

// The caption a field or label carries in the window; console and test output use it too.
std::string_view FieldCaption(SettingField field);
std::string_view LabelCaption(Label label);

// "%02X" for one-byte fields, "%02X %02X" (high byte first) for two-byte fields.
std::string FormatSettingValue(SettingField field, std::int32_t value);

class WindowServices {
 public:
  virtual ~WindowServices();

  // Timers 1..3: expire every `ms` until stopped; starting a running timer restarts its period.
  virtual void StartTimer(int id, int ms) = 0;
  // Stopping a stopped timer does nothing.
  virtual void StopTimer(int id) = 0;

  // A modal box; the calling thread waits until it is closed. An empty caption means the
  // program's name. Returns Yes or No for Yes/No boxes, Ok otherwise.
  virtual MessageResult ShowMessage(std::string_view text, MessageIcon icon, MessageButtons buttons,
                                    std::string_view caption) = 0;
  MessageResult ShowMessage(std::string_view text, MessageIcon icon = MessageIcon::None,
                            MessageButtons buttons = MessageButtons::Ok) {
    return ShowMessage(text, icon, buttons, {});
  }

  // Validator Information fields. The two status fields are rewritten only when their text
  // differs from the one last written (the front-end remembers it).
  virtual void ShowValidatorStatus(std::string_view text) = 0;
  virtual void ShowCommStatus(std::string_view text) = 0;
  virtual void ShowVersion(std::string_view text) = 0;
  virtual void ShowBootVersion(std::string_view text) = 0;
  virtual void ShowMachineNumber(std::string_view machineNumber) = 0;
  virtual void ShowSettingValue(SettingField field, std::string_view text) = 0;
  // Writes all eight setting fields from the store; by default through `ShowSettingValue`.
  virtual void ShowSettings(const SettingsSnapshot& store);

  virtual void SetLabelText(Label label, std::string_view text) = 0;
  virtual std::string GetLabelText(Label label) = 0;

  // Log box access. `AppendLogText` inserts at the end, keeps at most `kLogBoxLimit` characters
  // by dropping whole oldest lines, and keeps the newest line in view. Box text uses CRLF.
  virtual void AppendLogText(std::string_view text) = 0;
  virtual std::string GetLogText() = 0;
  virtual void ClearLogBox() = 0;

  virtual void EnableDownloadButton(DownloadButton which, bool on) = 0;
  // A download's progress; the front-ends draw it, a front-end without a tab may ignore it.
  virtual void ShowDownloadProgress(const DownloadProgress& progress);

  // Ends the process with exit status 0 at once.
  virtual void EndProgram() = 0;

  // The worker holds its calls back from the moment a frame goes out until the pass that takes
  // the answer has ended, or a short deadline has passed: a front-end that shows the worker's
  // calls in batches may then show a request and its answer in one update. Every hold is
  // released within that deadline. Calls that wait for the front-end (ShowMessage, GetLogText)
  // are never held. A front-end that acts on each call at once ignores both.
  virtual void HoldUpdates() {}
  virtual void ReleaseUpdates() {}
};

// The most characters the log box holds after an append (a line break counts two).
inline constexpr std::size_t kLogBoxLimit = 28000;

// Appends `text` to `box` and drops whole oldest lines until at most `limit` characters remain
// (everything, when no line feed is left). Shared by the front-ends that keep the text themselves.
void AppendToLogBoxText(std::string& box, std::string_view text, std::size_t limit = kLogBoxLimit);

}  // namespace tarvik
