#include "support/fake_window_services.h"

#include <algorithm>
#include <cstdio>

namespace tarvik::testing {

namespace {
std::string IconName(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None:
      return "";
    case MessageIcon::Exclamation:
      return " [!]";
    case MessageIcon::Question:
      return " [?]";
    case MessageIcon::Information:
      return " [i]";
  }
  return "";
}
}  // namespace

FakeWindowServices::FakeWindowServices() {
  labels_[Label::StackMode] = "[ Stack1 ]";
  labels_[Label::AckMode] = "AUTO";
  labels_[Label::PollingMode] = "[ AUTO ]";
  labels_[Label::DisplayMode] = "Binary and Full";
}

void FakeWindowServices::Record(std::string call) { calls_.push_back(std::move(call)); }

void FakeWindowServices::StartTimer(int id, int ms) {
  std::lock_guard lock(mutex_);
  runningTimers_[id] = ms;
  Record("StartTimer " + std::to_string(id) + " " + std::to_string(ms));
}

void FakeWindowServices::StopTimer(int id) {
  std::lock_guard lock(mutex_);
  runningTimers_.erase(id);
  Record("StopTimer " + std::to_string(id));
}

MessageResult FakeWindowServices::ShowMessage(std::string_view text, MessageIcon icon,
                                              MessageButtons buttons, std::string_view caption) {
  std::lock_guard lock(mutex_);
  messages_.emplace_back(text);
  std::string call = buttons == MessageButtons::YesNo ? "Question" : "Message";
  if (!caption.empty()) call += " (" + std::string(caption) + ")";
  call += IconName(icon) + ": " + std::string(text);
  MessageResult result = MessageResult::Ok;
  if (buttons == MessageButtons::YesNo) {
    result = MessageResult::Yes;
    if (!answers_.empty()) {
      result = answers_.front();
      answers_.pop_front();
    }
    call += result == MessageResult::Yes ? " -> Yes" : " -> No";
  }
  Record(std::move(call));
  return result;
}

void FakeWindowServices::ShowValidatorStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  fields_["Validator Status"] = text;
  Record("Field Validator Status: " + std::string(text));
}

void FakeWindowServices::ShowCommStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  fields_["Comminucation Status"] = text;
  Record("Field Comminucation Status: " + std::string(text));
}

void FakeWindowServices::ShowVersion(std::string_view text) {
  std::lock_guard lock(mutex_);
  fields_["Version"] = text;
  Record("Field Version: " + std::string(text));
}

void FakeWindowServices::ShowBootVersion(std::string_view text) {
  std::lock_guard lock(mutex_);
  fields_["Boot ROM Version"] = text;
  Record("Field Boot ROM Version: " + std::string(text));
}

void FakeWindowServices::ShowMachineNumber(std::string_view machineNumber) {
  std::lock_guard lock(mutex_);
  fields_["Machine No."] = machineNumber;
  Record("Field Machine No.: " + std::string(machineNumber));
}

void FakeWindowServices::ShowSettingValue(SettingField field, std::string_view text) {
  std::lock_guard lock(mutex_);
  const std::string caption(FieldCaption(field));
  fields_[caption] = text;
  Record("Field " + caption + ": " + std::string(text));
}

void FakeWindowServices::SetLabelText(Label label, std::string_view text) {
  std::lock_guard lock(mutex_);
  labels_[label] = text;
  Record("Label " + std::string(LabelCaption(label)) + ": " + std::string(text));
}

std::string FakeWindowServices::GetLabelText(Label label) {
  std::lock_guard lock(mutex_);
  return labels_[label];
}

void FakeWindowServices::AppendLogText(std::string_view text) {
  std::lock_guard lock(mutex_);
  AppendToLogBoxText(logBox_, text);
  if (held_) heldLogEntries_.emplace_back(text);
  Record("Log: " + std::string(text));
}

void FakeWindowServices::HoldUpdates() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void FakeWindowServices::ReleaseUpdates() {
  std::lock_guard lock(mutex_);
  held_ = false;
}

bool FakeWindowServices::Held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

std::vector<std::string> FakeWindowServices::HeldLogEntries() const {
  std::lock_guard lock(mutex_);
  return heldLogEntries_;
}

std::string FakeWindowServices::GetLogText() {
  std::lock_guard lock(mutex_);
  return logBox_;
}

void FakeWindowServices::ClearLogBox() {
  std::lock_guard lock(mutex_);
  logBox_.clear();
  Record("ClearLog");
}

void FakeWindowServices::EnableDownloadButton(DownloadButton which, bool on) {
  std::lock_guard lock(mutex_);
  Record(std::string("EnableDownloadButton ") +
         (which == DownloadButton::Normal ? "Normal " : "Global ") + (on ? "on" : "off"));
}

void FakeWindowServices::ShowDownloadProgress(const DownloadProgress& progress) {
  static constexpr const char* kStages[] = {"Sending", "Waiting", "Finished", "Stopped"};
  std::lock_guard lock(mutex_);
  std::string call = std::string("Progress ") +
                     (progress.kind == DownloadProgress::Kind::Normal ? "Normal " : "Global ") +
                     kStages[static_cast<int>(progress.stage)] + " " +
                     std::to_string(progress.bytesSent) + "/" + std::to_string(progress.totalBytes);
  if (progress.stage == DownloadProgress::Stage::Waiting) {
    call += " wait " + std::to_string(progress.waitMs) + " then " +
            std::to_string(progress.laterWaitMs);
  }
  Record(std::move(call));
}

void FakeWindowServices::EndProgram() {
  std::lock_guard lock(mutex_);
  endProgram_ = true;
  Record("EndProgram");
}

void FakeWindowServices::Fire(int id) {
  Engine* engine = nullptr;
  {
    std::lock_guard lock(mutex_);
    engine = engine_;
  }
  if (engine != nullptr) HandleTimer(*engine, id);
}

bool FakeWindowServices::IsRunning(int id) const {
  std::lock_guard lock(mutex_);
  return runningTimers_.count(id) != 0;
}

int FakeWindowServices::PeriodOf(int id) const {
  std::lock_guard lock(mutex_);
  const auto it = runningTimers_.find(id);
  return it == runningTimers_.end() ? 0 : it->second;
}

void FakeWindowServices::QueueAnswer(MessageResult answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

std::vector<std::string> FakeWindowServices::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeWindowServices::CallsStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> matching;
  for (const auto& call : calls_) {
    if (call.rfind(prefix, 0) == 0) matching.push_back(call);
  }
  return matching;
}

void FakeWindowServices::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

std::string FakeWindowServices::Field(const std::string& caption) const {
  std::lock_guard lock(mutex_);
  const auto it = fields_.find(caption);
  return it == fields_.end() ? std::string() : it->second;
}

std::string FakeWindowServices::LabelText(Label label) const {
  std::lock_guard lock(mutex_);
  const auto it = labels_.find(label);
  return it == labels_.end() ? std::string() : it->second;
}

std::vector<std::string> FakeWindowServices::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

bool FakeWindowServices::EndProgramCalled() const {
  std::lock_guard lock(mutex_);
  return endProgram_;
}

// --- FakeSerialLink ---

int FakeSerialLink::Open(int portNumber, int baudRate) {
  std::lock_guard lock(mutex_);
  if (open_) return 1;
  if (refuseOpen_) return 0;
  open_ = true;
  portNumber_ = portNumber;
  baudRate_ = baudRate;
  return 1;
}

int FakeSerialLink::Close() {
  std::lock_guard lock(mutex_);
  open_ = false;
  return 1;
}

int FakeSerialLink::Write(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t& written) {
  std::lock_guard lock(mutex_);
  if (!open_ || refuseWrites_ || !incoming_.empty()) return 0;
  written_.emplace_back(bytes, bytes + count);
  written = count;
  return 1;
}

int FakeSerialLink::Read(std::uint8_t* buffer, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  if (!open_ || count == 0 || incoming_.size() < count) return 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    buffer[i] = incoming_.front();
    incoming_.pop_front();
  }
  return static_cast<int>(count);
}

bool FakeSerialLink::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void FakeSerialLink::Deliver(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
}

std::size_t FakeSerialLink::Queued() const {
  std::lock_guard lock(mutex_);
  return incoming_.size();
}

std::vector<std::vector<std::uint8_t>> FakeSerialLink::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

void FakeSerialLink::ClearWritten() {
  std::lock_guard lock(mutex_);
  written_.clear();
}

void FakeSerialLink::RefuseOpen(bool refuse, std::string reason) {
  std::lock_guard lock(mutex_);
  refuseOpen_ = refuse;
  openFailure_ = std::move(reason);
}

std::string FakeSerialLink::OpenFailureReason() const {
  std::lock_guard lock(mutex_);
  return refuseOpen_ ? openFailure_ : std::string();
}

void FakeSerialLink::RefuseWrites(bool refuse) {
  std::lock_guard lock(mutex_);
  refuseWrites_ = refuse;
}

int FakeSerialLink::LastPortNumber() const {
  std::lock_guard lock(mutex_);
  return portNumber_;
}

int FakeSerialLink::LastBaudRate() const {
  std::lock_guard lock(mutex_);
  return baudRate_;
}

// --- FakeClock ---

void FakeClock::Pause(int ms) {
  pausedMs += ms;
  AdvanceTo(elapsed + std::chrono::milliseconds(ms));
  if (onPause) onPause(ms);
}

void FakeClock::WaitForInput(SerialLink&, std::chrono::microseconds timeout) {
  const auto until = elapsed + timeout;
  if (!events_.empty() && events_.begin()->first < until) {
    AdvanceTo(std::max(elapsed, events_.begin()->first));
  } else {
    AdvanceTo(until);
  }
}

void FakeClock::At(std::chrono::microseconds when, std::function<void()> what) {
  events_.emplace(when, std::move(what));
}

void FakeClock::AdvanceTo(std::chrono::microseconds until) {
  while (!events_.empty() && events_.begin()->first <= until) {
    const auto event = events_.begin();
    elapsed = std::max(elapsed, event->first);
    auto what = std::move(event->second);
    events_.erase(event);
    what();
  }
  elapsed = std::max(elapsed, until);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i != 0) text += ' ';
    text += pair;
  }
  return text;
}

std::vector<std::uint8_t> MakeFrame(std::uint8_t cmd, const std::vector<std::uint8_t>& data,
                                    std::uint8_t sync) {
  std::vector<std::uint8_t> frame{sync, static_cast<std::uint8_t>(data.size() + 5), cmd};
  frame.insert(frame.end(), data.begin(), data.end());
  const std::uint16_t crc = CalcCrc(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

}  // namespace tarvik::testing
