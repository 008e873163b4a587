#include "engine/comm_log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace tarvik {

namespace {

// The texts of the log lines. The receive lines indent the arrow by 14 blanks and the dump by 19,
// so the dump starts under the text that follows "<--- ".
constexpr std::string_view kTxArrow = " --->";
constexpr std::string_view kStatusRequestPrefix = "STATUS REQUEST--->";
constexpr std::string_view kRxArrow = "              <--- ";
constexpr std::string_view kRxDumpIndent = "                   ";
constexpr std::string_view kLengthErrorText = "Message Length Error : This value must be";
constexpr std::string_view kBoxLineEnd = "\r\n";
constexpr std::string_view kFileLineEnd = "\n";

// Room for the longest entry: a 255-character text, the status prefix and a 255-byte dump come
// to about 1,100 characters, so nothing is ever cut.
constexpr std::size_t kEntryCapacity = 2048;

// One entry in both of its forms, built side by side on the stack: the box form ends its lines
// with CR LF, the file form with LF alone.
class Entry {
 public:
  // Adds `parts` as one line to both forms.
  template <typename... Parts>
  void Line(const Parts&... parts) {
    (Add(std::string_view(parts)), ...);
    box_.Append(kBoxLineEnd);
    file_.Append(kFileLineEnd);
  }

  std::string_view Box() const { return box_.View(); }
  std::string_view File() const { return file_.View(); }
  bool Empty() const { return box_.size == 0; }

 private:
  struct Text {
    std::array<char, kEntryCapacity> chars{};
    std::size_t size = 0;

    void Append(std::string_view part) {
      const std::size_t n = std::min(part.size(), chars.size() - 1 - size);
      std::memcpy(chars.data() + size, part.data(), n);
      size += n;
      chars[size] = '\0';
    }
    std::string_view View() const { return {chars.data(), size}; }
  };

  void Add(std::string_view part) {
    box_.Append(part);
    file_.Append(part);
  }

  Text box_;
  Text file_;
};

// A record field as text, up to its first zero byte and never past its end.
template <std::size_t N>
std::string_view FieldText(const std::array<char, N>& field) {
  return {field.data(), strnlen(field.data(), N)};
}

// "HH:MM:SS.mmm " in local time: the prefix of every line while timestamps are on.
std::string WallClockStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(ms.count()));
  return stamp;
}

// Every line of `text` with `stamp` in front. Each line, not only the first, so the dump indents
// still line up under the text they belong to.
std::string Stamped(std::string_view text, std::string_view stamp) {
  std::string out;
  out.reserve(text.size() + 4 * stamp.size());
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart) out += stamp;
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

// Appends one entry to the log file of a running recording; the one place the file is written.
// Called with the log-file mutex held. Returns the text to report when this is the first write
// of the recording that failed, empty otherwise.
std::string WriteLogFile(CommLogFile& log, std::string_view text) {
  if (log.file == nullptr) return {};
  std::clearerr(log.file);
  const bool written = std::fwrite(text.data(), 1, text.size(), log.file) == text.size();
  // A recording must be complete on disk even if the program is ended abruptly.
  const bool flushed = std::fflush(log.file) == 0;
  if ((written && flushed) || log.writeFailed) return {};
  const int error = errno;
  log.writeFailed = true;
  return std::string(kLogFileWriteErrorText) + " " + log.path + ": " + std::strerror(error) + ". " +
         std::string(kLogFileWriteErrorFix);
}

// Shows the entry and, while a recording runs, writes it to the file. The mutex makes box and
// file receive whole entries in one and the same order, and keeps the close of the file from
// meeting a write. A failed write is reported once the mutex is released: the box may hold the
// worker until the operator closes it, and the window thread may need the mutex meanwhile.
void Output(Engine& engine, const Entry& entry) {
  std::string failure;
  {
    std::lock_guard lock(engine.logFile.mutex);
    // Taken under the mutex, so the times run in the order the entries do. The default form is
    // built without a single allocation; only timestamps cost one.
    const std::string stamp = engine.logTimestamps.load() ? WallClockStamp() : std::string();
    if (stamp.empty()) {
      DisplayMessageOnLogBox(engine, entry.Box());
      failure = WriteLogFile(engine.logFile, entry.File());
    } else {
      DisplayMessageOnLogBox(engine, Stamped(entry.Box(), stamp));
      failure = WriteLogFile(engine.logFile, Stamped(entry.File(), stamp));
    }
  }
  if (!failure.empty()) {
    engine.ui.ShowMessage(failure, MessageIcon::Exclamation, MessageButtons::Ok);
  }
}

}  // namespace

void FormatHex(FrameLogRecord& record) {
  const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(
      record.byteCount, 0, static_cast<std::int32_t>(record.bytes.size())));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) record.hexText[at++] = ' ';
    record.hexText[at++] = kDigits[record.bytes[i] >> 4];
    record.hexText[at++] = kDigits[record.bytes[i] & 0x0F];
  }
  record.hexText[at] = '\0';
}

void LogTransmittedFrame(Engine& engine) {
  Entry entry;
  entry.Line(FieldText(engine.tx.logText), kTxArrow);
  if (engine.state.displayMode.load() == kDisplayBinaryFull) {
    entry.Line("[", FieldText(engine.tx.hexText), "]");
  }
  Output(engine, entry);
}

void LogReceivedFrame(Engine& engine) {
  const EngineState& s = engine.state;
  Entry entry;
  // While polling runs on its own in the limited display, only a status that changed is shown,
  // together with the request that produced it (the request itself was not logged). A frame that
  // failed its length or CRC check is a fault, not an unchanged status, and is always shown.
  const FrameCheckResult& check = engine.check;
  if (s.displayMode.load() == kDisplayTextLimited && s.pollingMode.load() == kPollingAuto &&
      s.rxIsStatus.load() == 1) {
    const bool checkFailed = check.crcErrorFlag == 1 || check.lengthErrorFlag == 1;
    if (s.statusChanged.load() == 0 && !checkFailed) return;
    entry.Line(kStatusRequestPrefix);
  }

  if (check.crcErrorFlag == 1) {
    char text[64];
    std::snprintf(text, sizeof text, "CRC Error : This value must be \"%02X\" \"%02X\" .",
                  static_cast<unsigned>(check.expectedCrc & 0xFF),
                  static_cast<unsigned>((check.expectedCrc >> 8) & 0xFF));
    entry.Line(kRxArrow, text);
  } else if (check.lengthErrorFlag == 1) {
    char number[16];
    std::snprintf(number, sizeof number, " %d.", static_cast<int>(check.requiredLength));
    entry.Line(kRxArrow, kLengthErrorText, number);
  } else {
    entry.Line(kRxArrow, FieldText(engine.rx.logText));
  }
  if (s.displayMode.load() == kDisplayBinaryFull) {
    entry.Line(kRxDumpIndent, "[", FieldText(engine.rx.hexText), "]");
  }
  Output(engine, entry);
}

void LogHostEvent(Engine& engine, std::string_view text) {
  Entry entry;
  entry.Line(text);
  Output(engine, entry);
}

void DisplayMessageOnLogBox(Engine& engine, std::string_view text) {
  // The front-end inserts at the end, trims the oldest whole lines to the box limit and keeps
  // the newest line in view (see AppendToLogBoxText).
  engine.ui.AppendLogText(text);
}

void SetLogText(FrameLogRecord& record, std::string_view text) {
  auto& field = record.logText;
  const std::size_t n = std::min(text.size(), field.size() - 1);
  std::memcpy(field.data(), text.data(), n);
  field[n] = '\0';
}

void SetRxLogText(Engine& engine, std::string_view text) { SetLogText(engine.rx, text); }

bool OpenLogFile(Engine& engine, const std::string& path) {
  std::lock_guard lock(engine.logFile.mutex);
  if (engine.logFile.file != nullptr) {
    std::fclose(engine.logFile.file);
    engine.logFile.file = nullptr;
  }
  engine.logFile.file = std::fopen(path.c_str(), "a");
  const int openError = errno;
  engine.logFile.path = path;
  engine.logFile.writeFailed = false;
  errno = openError;  // the caller tells the operator why the open failed
  return engine.logFile.file != nullptr;
}

bool CloseLogFile(Engine& engine) {
  std::lock_guard lock(engine.logFile.mutex);
  if (engine.logFile.file == nullptr) return false;
  std::fclose(engine.logFile.file);
  engine.logFile.file = nullptr;
  return true;
}

bool IsLogFileOpen(Engine& engine) {
  std::lock_guard lock(engine.logFile.mutex);
  return engine.logFile.file != nullptr;
}

}  // namespace tarvik
