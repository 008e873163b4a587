#include "ui/qt/qt_window_services.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/info_basic_tab.h"
#include "ui/qt/info_download_tab.h"
#include "ui/qt/latin1_text.h"
#include "ui/qt/log_box.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// Longest texts the fields keep: the remembered status texts have room for 79 characters, the
// version fields for 255, the machine number for 20.
constexpr std::size_t kStatusTextMax = 79;
constexpr std::size_t kVersionTextMax = 255;
constexpr std::size_t kMachineNumberMax = 20;

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Question:
      return QMessageBox::Question;
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

MessageResult Answer(int button, MessageButtons buttons) {
  if (buttons == MessageButtons::Ok) return MessageResult::Ok;
  return button == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
}

MessageResult Unanswered(MessageButtons buttons) {
  return buttons == MessageButtons::YesNo ? MessageResult::No : MessageResult::Ok;
}

}  // namespace

QtWindowServices::QtWindowServices(QObject* parent) : QObject(parent) {
  for (int id = 1; id <= 3; ++id) {
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, id, timer] {
      // A first expiry brought forward by a wait in a batch; the ones after keep the period.
      const int period = periods_[static_cast<std::size_t>(id - 1)];
      if (timer->interval() != period) timer->setInterval(period);
      if (engine_ != nullptr) HandleTimer(*engine_, id);
    });
    timers_[static_cast<std::size_t>(id - 1)] = timer;
  }
}

QtWindowServices::~QtWindowServices() {
  Shutdown();
  for (const QPointer<QMessageBox>& box : openBoxes_) delete box.data();
}

void QtWindowServices::BindLogBox(LogBox* box) { logBox_ = box; }
void QtWindowServices::BindInfoTab(InfoBasicTab* tab) { infoTab_ = tab; }

void QtWindowServices::BindLabel(Label label, QLabel* widget) {
  labelWidgets_[label] = widget;
  std::lock_guard lock(textMutex_);
  labelTexts_[label] = widget != nullptr ? widget->text().toLatin1().toStdString() : std::string();
}

void QtWindowServices::BindDownloadButton(DownloadButton which, QAbstractButton* button) {
  downloadButtons_[which] = button;
}

void QtWindowServices::BindDownloadTab(InfoDownloadTab* tab) { downloadTab_ = tab; }

void QtWindowServices::Shutdown() {
  std::lock_guard lock(waitMutex_);
  shuttingDown_ = true;
  answered_.notify_all();
}

bool QtWindowServices::OnWindowThread() const { return QThread::currentThread() == thread(); }

void QtWindowServices::Run(std::function<void()> action, Step step) {
  if (OnWindowThread()) {
    action();
    return;
  }
  Enqueue(std::move(action), {}, step);
}

void QtWindowServices::Enqueue(std::function<void()> action, std::string logText, Step step) {
  {
    std::lock_guard lock(waitMutex_);
    if (shuttingDown_) return;
  }
  std::lock_guard lock(batchMutex_);
  if (action) {
    batch_.push_back({std::move(action), {}, false});
    if (step != Step::BesideBox) openText_ = kNoOpenText;
  } else if (openText_ != kNoOpenText) {
    // The box keeps only its newest lines, so neither need the text waiting for it: a window
    // that falls behind a flood holds a bounded batch. Text trimmed here is over the limit on
    // its own, so nothing the box held before it can remain.
    BatchStep& pending = batch_[openText_];
    if (pending.logText.size() + logText.size() > kLogBoxLimit) pending.replacesBox = true;
    AppendToLogBoxText(pending.logText, logText, kLogBoxLimit);
  } else {
    openText_ = batch_.size();
    batch_.push_back({{}, std::move(logText), false});
  }
  if (!held_ || step == Step::Awaited) PostBatchLocked();
}

void QtWindowServices::PostBatchLocked() {
  if (runPosted_ || batch_.empty()) return;
  runPosted_ = true;
  QMetaObject::invokeMethod(
      this, [this] { RunBatch(); }, Qt::QueuedConnection);
}

void QtWindowServices::HoldUpdates() {
  std::lock_guard lock(batchMutex_);
  held_ = true;
}

void QtWindowServices::ReleaseUpdates() {
  std::lock_guard lock(batchMutex_);
  if (!held_) return;
  held_ = false;
  PostBatchLocked();
}

void QtWindowServices::RunBatch() {
  std::vector<BatchStep> steps;
  {
    std::lock_guard lock(batchMutex_);
    steps.swap(batch_);
    openText_ = kNoOpenText;
    runPosted_ = false;
  }
  for (BatchStep& step : steps) {
    if (step.action) {
      step.action();
    } else if (!logBox_.isNull()) {
      if (step.replacesBox) logBox_->Clear();
      if (!step.logText.empty()) logBox_->Append(step.logText);
    }
  }
}

template <typename T>
T QtWindowServices::Await(std::function<void(std::function<void(T)>)> start, T fallback) {
  auto answer = std::make_shared<std::optional<T>>();
  {
    std::lock_guard lock(waitMutex_);
    if (shuttingDown_) return fallback;
  }
  // In the batch, so it comes after every call made before it.
  Run(
      [this, start = std::move(start), answer] {
        start([this, answer](T value) {
          std::lock_guard lock(waitMutex_);
          *answer = std::move(value);
          answered_.notify_all();
        });
      },
      Step::Awaited);
  std::unique_lock lock(waitMutex_);
  answered_.wait(lock, [&] { return answer->has_value() || shuttingDown_; });
  return answer->has_value() ? std::move(**answer) : fallback;
}

// --- Timers ----------------------------------------------------------------------------------

void QtWindowServices::StartTimer(int id, int ms) {
  if (id < 1 || id > 3) return;
  // A zero period would make the window thread spin; the shortest period is one millisecond.
  const int period = std::max(ms, 1);
  const auto startedAt = std::chrono::steady_clock::now();
  Run(
      [this, id, period, startedAt] {
        const auto index = static_cast<std::size_t>(id - 1);
        const long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - startedAt)
                                     .count();
        periods_[index] = period;
        timers_[index]->start(static_cast<int>(std::max<long long>(period - waited, 0)));
      },
      Step::BesideBox);
}

void QtWindowServices::StopTimer(int id) {
  if (id < 1 || id > 3) return;
  Run([this, id] { timers_[static_cast<std::size_t>(id - 1)]->stop(); }, Step::BesideBox);
}

bool QtWindowServices::IsTimerActive(int id) const {
  return id >= 1 && id <= 3 && timers_[static_cast<std::size_t>(id - 1)]->isActive();
}

int QtWindowServices::TimerRemaining(int id) const {
  return id >= 1 && id <= 3 ? timers_[static_cast<std::size_t>(id - 1)]->remainingTime() : -1;
}

int QtWindowServices::TimerInterval(int id) const {
  return id >= 1 && id <= 3 ? periods_[static_cast<std::size_t>(id - 1)] : 0;
}

// --- Message boxes ---------------------------------------------------------------------------

void QtWindowServices::OpenMessageBox(const MessageRequest& request, bool modal,
                                      std::function<void(MessageResult)> done) {
  if (messageHook_) {
    messageHook_(request, std::move(done));
    return;
  }
  const QMessageBox::StandardButtons buttons = request.buttons == MessageButtons::YesNo
                                                   ? (QMessageBox::Yes | QMessageBox::No)
                                                   : QMessageBox::StandardButtons(QMessageBox::Ok);
  const MessageButtons kind = request.buttons;
  if (modal) {
    QMessageBox box(BoxIcon(request.icon), request.caption, request.text, buttons, messageParent_);
    done(Answer(box.exec(), kind));
    return;
  }
  auto* box = new QMessageBox(BoxIcon(request.icon), request.caption, request.text, buttons,
                              messageParent_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  connect(box, &QMessageBox::finished, this,
          [done = std::move(done), kind](int button) { done(Answer(button, kind)); });
  openBoxes_.erase(std::remove_if(openBoxes_.begin(), openBoxes_.end(),
                                  [](const QPointer<QMessageBox>& open) { return open.isNull(); }),
                   openBoxes_.end());
  openBoxes_.emplace_back(box);
  box->show();
}

MessageResult QtWindowServices::ShowMessage(std::string_view text, MessageIcon icon,
                                            MessageButtons buttons, std::string_view caption) {
  MessageRequest request{Latin1(text), icon, buttons,
                         caption.empty() ? QString::fromLatin1(kProgramName) : Latin1(caption)};
  if (OnWindowThread()) {
    // Shared, as a hook might keep the callback beyond this call.
    auto result = std::make_shared<MessageResult>(Unanswered(buttons));
    OpenMessageBox(request, true, [result](MessageResult answer) { *result = answer; });
    return *result;
  }
  return Await<MessageResult>(
      [this, request](std::function<void(MessageResult)> done) {
        OpenMessageBox(request, false, std::move(done));
      },
      Unanswered(buttons));
}

// --- Validator Information -------------------------------------------------------------------

void QtWindowServices::SetField(int fieldId, const QString& text) {
  if (infoTab_.isNull()) return;
  if (QLabel* field = infoTab_->fieldById(fieldId)) field->setText(text);
}

void QtWindowServices::ShowStatusIfChanged(std::string& remembered, int fieldId,
                                           std::string_view text) {
  const std::string_view shown = text.substr(0, std::min(text.size(), kStatusTextMax));
  {
    std::lock_guard lock(textMutex_);
    if (remembered == shown) return;
    remembered.assign(shown);
  }
  Run([this, fieldId, value = Latin1(shown)] { SetField(fieldId, value); }, Step::BesideBox);
}

void QtWindowServices::ShowValidatorStatus(std::string_view text) {
  ShowStatusIfChanged(lastValidatorStatus_, static_cast<int>(InfoBasicTab::Field::ValidatorStatus),
                      text);
}

void QtWindowServices::ShowCommStatus(std::string_view text) {
  ShowStatusIfChanged(lastCommStatus_, static_cast<int>(InfoBasicTab::Field::CommStatus), text);
}

void QtWindowServices::ShowVersion(std::string_view text) {
  Run(
      [this, value = Latin1(text.substr(0, std::min(text.size(), kVersionTextMax)))] {
        SetField(static_cast<int>(InfoBasicTab::Field::Version), value);
      },
      Step::BesideBox);
}

void QtWindowServices::ShowBootVersion(std::string_view text) {
  Run(
      [this, value = Latin1(text.substr(0, std::min(text.size(), kVersionTextMax)))] {
        SetField(static_cast<int>(InfoBasicTab::Field::BootVersion), value);
      },
      Step::BesideBox);
}

void QtWindowServices::ShowMachineNumber(std::string_view machineNumber) {
  const std::string_view text =
      machineNumber.substr(0, std::min(machineNumber.size(), kMachineNumberMax));
  const int field = static_cast<int>(InfoBasicTab::Field::MachineNumber);
  Run([this, field, value = Latin1(text)] { SetField(field, value); }, Step::BesideBox);
}

void QtWindowServices::ShowSettingValue(SettingField field, std::string_view text) {
  Run([this, id = static_cast<int>(field), value = Latin1(text)] { SetField(id, value); },
      Step::BesideBox);
}

// --- Labels ------------------------------------------------------------------------------------

void QtWindowServices::SetLabelText(Label label, std::string_view text) {
  {
    std::lock_guard lock(textMutex_);
    labelTexts_[label].assign(text);
  }
  Run(
      [this, label, value = Latin1(text)] {
        const auto it = labelWidgets_.find(label);
        if (it == labelWidgets_.end() || it->second.isNull()) return;
        // The Port field has room for the COM number only; the device it opens goes in its
        // tool tip.
        const qsizetype device = label == Label::Port ? value.indexOf(QStringLiteral(" (")) : -1;
        it->second->setText(device < 0 ? value : value.left(device));
        it->second->setToolTip(device < 0 ? QString() : value);
      },
      Step::BesideBox);
}

std::string QtWindowServices::GetLabelText(Label label) {
  std::lock_guard lock(textMutex_);
  const auto it = labelTexts_.find(label);
  return it == labelTexts_.end() ? std::string() : it->second;
}

// --- Log box -----------------------------------------------------------------------------------

void QtWindowServices::AppendLogText(std::string_view text) {
  if (OnWindowThread()) {
    if (!logBox_.isNull()) logBox_->Append(text);
    return;
  }
  Enqueue({}, std::string(text));
}

std::string QtWindowServices::GetLogText() {
  if (OnWindowThread()) return logBox_.isNull() ? std::string() : logBox_->Text();
  return Await<std::string>(
      [this](std::function<void(std::string)> done) {
        done(logBox_.isNull() ? std::string() : logBox_->Text());
      },
      std::string());
}

void QtWindowServices::ClearLogBox() {
  Run([this] {
    if (!logBox_.isNull()) logBox_->Clear();
  });
}

// --- Download buttons and the end ------------------------------------------------------------

void QtWindowServices::EnableDownloadButton(DownloadButton which, bool on) {
  Run(
      [this, which, on] {
        const auto it = downloadButtons_.find(which);
        if (it != downloadButtons_.end() && !it->second.isNull()) it->second->setEnabled(on);
      },
      Step::BesideBox);
}

void QtWindowServices::ShowDownloadProgress(const DownloadProgress& progress) {
  Run(
      [this, progress] {
        if (!downloadTab_.isNull()) downloadTab_->ShowProgress(progress);
      },
      Step::BesideBox);
}

void QtWindowServices::EndProgram() {
  if (endProgramHook_) {
    endProgramHook_();
    return;
  }
  // "At once": no event loop, no destructors that a running worker could still be using.
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace tarvik::qt
