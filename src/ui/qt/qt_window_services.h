// The window services on Qt: the engine's calls, from the worker thread or the window thread,
// take effect on the widgets on the window thread, in the order they were made.
//
// Calls made on the window thread act at once. Calls from any other thread join one batch, in
// call order, that a single queued call to this object (which lives on the window thread) runs
// on the next turn of the event loop: a busy worker costs the window one wake-up and one repaint
// per turn, not one per log entry and timer change. The log entries of a batch go into the box as
// one insertion, unless a call that uses the box (clearing or reading it, a message) comes between
// them; while the worker holds its updates for an answer, the run is asked for only when it
// releases them, so a request and its answer move the box once. A timer started from a batch runs
// from the moment the engine started it, not from the batch's turn. Two calls wait for the window
// thread: ShowMessage (the
// operator's answer) and GetLogText; both are released by Shutdown so a worker being stopped never
// waits for a window that has stopped serving it. GetLabelText never waits: it reads a copy kept
// under a mutex.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/window_services.h"

class QAbstractButton;
class QLabel;
class QMessageBox;
class QTimer;
class QWidget;

namespace tarvik::qt {

class InfoBasicTab;
class InfoDownloadTab;
class LogBox;

class QtWindowServices : public QObject, public WindowServices {
  Q_OBJECT

 public:
  struct MessageRequest {
    QString text;
    MessageIcon icon;
    MessageButtons buttons;
    QString caption;
  };
  // Answers a message box instead of showing it; runs on the window thread. It may keep
  // `answer` and call it later for a box another thread asked for; a box asked for on the window
  // thread must be answered before the hook returns (it counts as No, or Ok, otherwise).
  using MessageHook =
      std::function<void(const MessageRequest&, std::function<void(MessageResult)> answer)>;

  // Create on the window thread; the timers and the widgets belong to it.
  explicit QtWindowServices(QObject* parent = nullptr);
  ~QtWindowServices() override;

  // The engine whose HandleTimer the timers call. Set before any timer is started.
  void Attach(Engine* engine) { engine_ = engine; }

  // The widgets the services write. Bind on the window thread before the worker starts; a label
  // starts its remembered text from what the widget shows.
  void BindLogBox(LogBox* box);
  void BindInfoTab(InfoBasicTab* tab);
  void BindLabel(Label label, QLabel* widget);
  void BindDownloadButton(DownloadButton which, QAbstractButton* button);
  void BindDownloadTab(InfoDownloadTab* tab);
  // The window that owns message boxes shown on the window thread.
  void SetMessageParent(QWidget* parent) { messageParent_ = parent; }

  void SetMessageHook(MessageHook hook) { messageHook_ = std::move(hook); }
  // What EndProgram does; by default flush the standard streams and end the process, status 0.
  void SetEndProgramHook(std::function<void()> hook) { endProgramHook_ = std::move(hook); }

  // Releases a thread waiting for an answer (it gets No, or Ok) and drops every later call from
  // other threads. Used before the worker is stopped at exit.
  void Shutdown();

  // The state of timer 1, 2 or 3 (window thread).
  bool IsTimerActive(int id) const;
  int TimerInterval(int id) const;
  // Milliseconds until the timer next expires; -1 when it is stopped.
  int TimerRemaining(int id) const;

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
  void EndProgram() override;
  void HoldUpdates() override;
  void ReleaseUpdates() override;

 private:
  bool OnWindowThread() const;
  // How an action of a batch stands to the log box: one that uses the box keeps its place among
  // the entries; one that does not lets later entries join earlier ones; one that waits for the
  // window thread also has the batch run at once, held or not.
  enum class Step { UsesBox, BesideBox, Awaited };
  // Runs `action` on the window thread: now when called there, else in the next batch.
  void Run(std::function<void()> action, Step step = Step::UsesBox);
  // Adds an action, or log text for the box, to the batch (unless shutting down) and asks for
  // one run of it unless the updates are held; from a thread other than the window's.
  void Enqueue(std::function<void()> action, std::string logText, Step step = Step::UsesBox);
  // Asks for one run of the batch unless one is asked for already; batchMutex_ held.
  void PostBatchLocked();
  // Runs the batch taken so far; on the window thread.
  void RunBatch();
  // Runs `start` on the window thread and waits until it hands over its result through the
  // callback it is given, or until Shutdown; then returns `fallback`.
  template <typename T>
  T Await(std::function<void(std::function<void(T)>)> start, T fallback);

  // The "only when changed" rule of the two status fields, checked on the calling thread.
  void ShowStatusIfChanged(std::string& remembered, int fieldId, std::string_view text);
  void SetField(int fieldId, const QString& text);
  // Shows a box on the window thread and hands the answer to `done` when it is closed. A box
  // for another thread does not block the window: timers and buttons keep working.
  void OpenMessageBox(const MessageRequest& request, bool modal,
                      std::function<void(MessageResult)> done);

  Engine* engine_ = nullptr;
  std::array<QTimer*, 3> timers_{};  // timers 1, 2, 3; children of this object
  // The period each timer was started with; its first expiry may come sooner, by the time the
  // start waited in a batch.
  std::array<int, 3> periods_{};

  QPointer<LogBox> logBox_;
  QPointer<InfoBasicTab> infoTab_;
  std::map<Label, QPointer<QLabel>> labelWidgets_;
  std::map<DownloadButton, QPointer<QAbstractButton>> downloadButtons_;
  QPointer<InfoDownloadTab> downloadTab_;
  QPointer<QWidget> messageParent_;
  std::vector<QPointer<QMessageBox>> openBoxes_;  // boxes shown for another thread
  MessageHook messageHook_;
  std::function<void()> endProgramHook_;

  mutable std::mutex textMutex_;  // guards the three members below
  std::map<Label, std::string> labelTexts_;
  std::string lastValidatorStatus_;
  std::string lastCommStatus_;

  // One step of a batch: an action, or (without one) log text for the box.
  struct BatchStep {
    std::function<void()> action;
    std::string logText;
    bool replacesBox;  // the text alone overflows the box: what it held before goes
  };
  std::mutex batchMutex_;  // guards the four members below
  // Steps waiting for the window thread.
  std::vector<BatchStep> batch_;
  // The step of batch_ that later log text joins, if any.
  static constexpr std::size_t kNoOpenText = static_cast<std::size_t>(-1);
  std::size_t openText_ = kNoOpenText;
  bool runPosted_ = false;  // one run of the batch is asked for
  bool held_ = false;       // the worker holds its updates for an answer

  std::mutex waitMutex_;  // guards shuttingDown_ and every pending answer of Await
  std::condition_variable answered_;
  bool shuttingDown_ = false;
};

}  // namespace tarvik::qt
