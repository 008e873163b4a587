#include "ui/console/console_operator.h"

#include <charconv>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/comm_log.h"
#include "engine/download_tab.h"
#include "engine/main_window_operations.h"
#include "engine/operating_modes.h"
#include "engine/port_control.h"
#include "engine/raw_frames.h"
#include "engine/properties.h"

namespace tarvik::console {

namespace {

struct KeyRow {
  char key;
  KeyAction action;
};

// The main window's shortcut table (case-sensitive) plus Space for Polling Mode.
constexpr std::array<KeyRow, 47> kKeyTable{{
    {'!', KeyAction::Post},          {'3', KeyAction::Post},
    {'A', KeyAction::Post},          {'B', KeyAction::Post},
    {'C', KeyAction::Post},          {'D', KeyAction::Post},
    {'E', KeyAction::Post},          {'H', KeyAction::Post},
    {'I', KeyAction::Post},          {'J', KeyAction::Post},
    {'K', KeyAction::Post},          {'L', KeyAction::StackMode},
    {'M', KeyAction::Post},          {'N', KeyAction::Post},
    {'O', KeyAction::PollingMode},   {'P', KeyAction::Post},
    {'Q', KeyAction::Post},          {'R', KeyAction::Post},
    {'S', KeyAction::Poll},          {'T', KeyAction::Post},
    {'U', KeyAction::Post},          {'V', KeyAction::Post},
    {'W', KeyAction::Post},          {'X', KeyAction::Exit},
    {'a', KeyAction::Post},          {'b', KeyAction::ChangeCommand},
    {'c', KeyAction::ChangeCommand}, {'d', KeyAction::ChangeCommand},
    {'e', KeyAction::ChangeCommand}, {'i', KeyAction::ChangeCommand},
    {'k', KeyAction::AckMode},       {'m', KeyAction::ChangeCommand},
    {'n', KeyAction::ChangeCommand}, {'r', KeyAction::Post},
    {'t', KeyAction::ChangeCommand}, {'u', KeyAction::ChangeCommand},
    {'v', KeyAction::Post},          {'x', KeyAction::Exit},
    {' ', KeyAction::PollingMode},   {'h', KeyAction::Consumed},
    {'j', KeyAction::Consumed},      {'l', KeyAction::Consumed},
    {'o', KeyAction::Consumed},      {'p', KeyAction::Consumed},
    {'q', KeyAction::Consumed},      {'s', KeyAction::Consumed},
    {'w', KeyAction::Consumed},
}};

const ValueBox* BoxOfKey(char key) {
  for (const ValueBox& box : kValueBoxes) {
    if (box.character == key) return &box;
  }
  return nullptr;
}

std::size_t BoxIndex(const ValueBox& box) {
  return static_cast<std::size_t>(&box - kValueBoxes.data());
}

// Splits off the first word of `text` (after any blanks); `text` keeps what follows the one
// blank after the word, so a value may itself begin with blanks.
std::string_view TakeWord(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  const std::size_t end = text.find(' ');
  const std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return word;
}

bool IsExpectCommand(std::string_view command) {
  return command == "expect" || command == "expect-not";
}

CommandOutcome Error(std::string text) {
  return {CommandOutcome::Kind::Error, 0, std::move(text), {}};
}

// One byte in hexadecimal: one or two digits, "0x" allowed in front.
std::optional<std::uint8_t> ParseHexByte(std::string_view word) {
  if (word.starts_with("0x") || word.starts_with("0X")) word.remove_prefix(2);
  unsigned value = 0;
  if (word.empty() || word.size() > 2) return std::nullopt;
  const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
  if (status != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

// The list position whose text is `word`, or no selection when the list has no such entry.
template <std::size_t N>
int ListPosition(std::string_view word, const std::array<std::string_view, N>& texts,
                 const std::array<std::string_view, N>& alternatives) {
  for (std::size_t i = 0; i < N; ++i) {
    if (word == texts[i] || word == alternatives[i]) return static_cast<int>(i);
  }
  return kNoSelection;
}

// "1" to "20" select COM1 to COM20.
int ComPortPosition(std::string_view word) {
  int number = 0;
  const auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), number);
  if (word.empty() || status != std::errc() || end != word.data() + word.size() || number < 1 ||
      number > kComPortCount) {
    return kNoSelection;
  }
  return number - 1;
}

// What a number field keeps of a pasted text: as many characters as it holds.
std::string FieldText(std::string_view word, int limit) {
  return std::string(word.substr(0, static_cast<std::size_t>(limit)));
}

}  // namespace

KeyAction ClassifyKey(char key, bool acceptanceLog) {
  if (acceptanceLog && (key == '1' || key == '2')) return KeyAction::Post;
  for (const KeyRow& row : kKeyTable) {
    if (row.key == key) return row.action;
  }
  return KeyAction::None;
}

ExitOutcome RunExitCommand(Engine& engine, bool ask) {
  return ConfirmExit(engine, ask) ? ExitOutcome::Exit : ExitOutcome::Stay;
}

ExitOutcome ConsoleOperator::Key(char key) {
  switch (ClassifyKey(key, acceptanceLog_)) {
    case KeyAction::None:
    case KeyAction::Consumed:
      break;
    case KeyAction::Post:
      PostPendingCommand(engine_, key);
      break;
    case KeyAction::Poll:
      PressPollButton(engine_);
      break;
    case KeyAction::ChangeCommand:
      ChangeCommand(key);
      break;
    case KeyAction::StackMode:
      ChangeStackMode(engine_);
      break;
    case KeyAction::AckMode:
      ToggleAckMode(engine_);
      break;
    case KeyAction::PollingMode:
      TogglePollingMode(engine_);
      break;
    case KeyAction::Exit:
      return RunExitCommand(engine_, true);
  }
  return ExitOutcome::Stay;
}

void ConsoleOperator::DisplayMode() { ToggleDisplayMode(engine_); }

void ConsoleOperator::ChangeCommand(char key) {
  const ValueBox* box = BoxOfKey(key);
  if (box == nullptr) return;
  PressChangeButton(engine_, *box, boxes_[BoxIndex(*box)]);
}

CommandOutcome ConsoleOperator::Command(std::string_view line) {
  std::string_view rest = line;
  const std::string_view command = TakeWord(rest);
  if (command == "value") {
    const std::string_view name = TakeWord(rest);
    for (const ValueBox& box : kValueBoxes) {
      if (box.name == name) {
        boxes_[BoxIndex(box)] = std::string(rest);
        return {};
      }
    }
    return Error("no value box \"" + std::string(name) +
                 "\" (disable, security, mode, inhibit, direction, function, machine, "
                 "barcode-func, barcode-inhibit)");
  }
  if (command == "wait") {
    const std::string_view number = TakeWord(rest);
    int ms = 0;
    const auto [end, status] = std::from_chars(number.data(), number.data() + number.size(), ms);
    if (number.empty() || status != std::errc() || end != number.data() + number.size() || ms < 0 ||
        ms > kMaxScriptWaitMs) {
      return Error(":wait needs milliseconds from 0 to 3600000, not \"" + std::string(number) +
                   "\"");
    }
    return {CommandOutcome::Kind::Wait, ms, {}, {}};
  }
  if (command == "quit") return {CommandOutcome::Kind::Quit, 0, {}, {}};
  if (IsExpectCommand(command)) {
    std::string error;
    std::optional<Expectation> expectation = ParseExpectation(rest, command == "expect-not", error);
    if (!expectation) return Error(error);
    return {CommandOutcome::Kind::Expect, 0, {}, std::move(*expectation)};
  }
  if (command == "send" || command == "send-bytes") return Send(rest, command == "send-bytes");
  if (command == "browse") {
    // The rest of the line is the path, blanks and all; a path that is not a readable file is
    // Browse cancelled in the file dialog, which could not have offered it.
    const std::string path(rest);
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path.c_str(), R_OK) != 0) {
      return {};
    }
    if (const auto fields = BrowseTargetFile(engine_, path)) {
      fields_ = {{kTargetFileCaption, fields->path},
                 {kCrcCaption, fields->crc},
                 {kHeaderCaption, fields->header}};
    }
    return {};
  }
  if (command == "normal-download" || command == "global-download") {
    if (!rest.empty()) return Error(":" + std::string(command) + " takes nothing after it");
    if (command == "normal-download") {
      PressNormalDownload(engine_);
    } else {
      PressGlobalDownload(engine_);
    }
    return {};
  }
  if (command == "log-browse") {
    // The rest of the line is the path; nothing is the file dialog cancelled.
    BrowseLogFile(engine_, logTab_,
                  rest.empty() ? std::nullopt : std::optional<std::string>(std::string(rest)));
    return {};
  }
  if (command == "log-button") return LogButton();
  if (command == "properties") return Properties(rest);
  return Error("unknown command \":" + std::string(command) +
               "\" (value, wait, expect, expect-not, send, send-bytes, quit, browse, "
               "normal-download, global-download, log-browse, log-button, properties)");
}

bool IsSendCommand(std::string_view line) {
  const std::string_view command = TakeWord(line);
  return command == "send" || command == "send-bytes";
}

CommandOutcome ConsoleOperator::Send(std::string_view arguments, bool raw) {
  const char* name = raw ? ":send-bytes" : ":send";
  std::vector<std::uint8_t> bytes;
  for (std::string_view word = TakeWord(arguments); !word.empty(); word = TakeWord(arguments)) {
    const std::optional<std::uint8_t> byte = ParseHexByte(word);
    if (!byte) {
      return Error(std::string(name) + " takes bytes in hexadecimal (00 to FF), not \"" +
                   std::string(word) + "\"");
    }
    bytes.push_back(*byte);
  }
  if (bytes.empty()) {
    return Error(raw ? ":send-bytes needs the bytes to write" : ":send needs a command code");
  }
  std::string logName;
  if (raw) {
    if (bytes.size() > kFrameBufferSize) return Error(":send-bytes takes at most 256 bytes");
    logName = kRawBytesLogName;
  } else {
    if (bytes.size() - 1 > kMaxFrameData) return Error(":send takes at most 250 data bytes");
    const std::uint8_t code = bytes.front();
    const auto address = static_cast<std::uint8_t>(engine_.state.deviceAddress.load() & 0xFF);
    bytes = BuildRawFrame(address, code, std::span<const std::uint8_t>(bytes).subspan(1));
    logName = RawFrameLogName(code);
  }
  const std::string refused = PostRawFrame(engine_, std::move(bytes), std::move(logName));
  if (!refused.empty()) return Error(std::string(name) + " refused: " + refused);
  return {};
}

CommandOutcome ConsoleOperator::LogButton() {
  // A disabled button ignores its press.
  if (!logTab_.buttonEnabled) {
    return Error(
        ":log-button: the Start/Stop button is disabled until a file is chosen "
        "(:log-browse PATH)");
  }
  PressLogButton(engine_, logTab_);
  return {};
}

CommandOutcome ConsoleOperator::Properties(std::string_view arguments) {
  std::array<std::string_view, 5> words{};
  for (std::string_view& word : words) word = TakeWord(arguments);
  while (!arguments.empty() && arguments.front() == ' ') arguments.remove_prefix(1);
  if (words.back().empty() || !arguments.empty()) {
    return Error(
        ":properties needs PORT BAUD POLLING MODE PACKET, for example "
        ":properties 1 9600 200 Normal 246");
  }
  // The dialog opens filled from the file; then its five controls get the texts given.
  PropertiesForm form = ReadPropertiesForm(settingsPath_);
  form.comPort = ComPortPosition(words[0]);
  form.baudRate = ListPosition(words[1], kBaudRateTexts,
                               std::array<std::string_view, 3>{"9600", "19200", "38400"});
  form.pollingDuration = FieldText(words[2], kPollingFieldLimit);
  form.operatingMode = ListPosition(words[3], kOperatingModeTexts, kOperatingModeTexts);
  form.packetSize = FieldText(words[4], kPacketFieldLimit);
  // A refused OK leaves the window's dialog open for a correction; a script cannot correct it,
  // so the console closes it as Cancel does, which changes nothing.
  PressPropertiesOk(engine_, form, settingsPath_);
  return {};
}

Reaction ConsoleOperator::Handle(const InputEvent& event) {
  Reaction reaction;
  switch (event.kind) {
    case InputKind::Key:
      reaction.exit = Key(event.key) == ExitOutcome::Exit;
      return reaction;
    case InputKind::DisplayMode:
      DisplayMode();
      return reaction;
    case InputKind::Echo:
      reaction.echo = event.text;
      return reaction;
    case InputKind::EndOfInput:
      reaction.endOfInput = true;
      return reaction;
    case InputKind::CommandTooLong:
      reaction.note = "command line too long; ignored";
      return reaction;
    case InputKind::Command:
      break;
  }
  const CommandOutcome outcome = Command(event.text);
  switch (outcome.kind) {
    case CommandOutcome::Kind::Done:
      reaction.fields = std::exchange(fields_, {});
      break;
    case CommandOutcome::Kind::Wait:
      reaction.waitMs = outcome.waitMs;
      break;
    case CommandOutcome::Kind::Error:
      reaction.note = outcome.error;
      if (std::string_view rest = event.text; IsExpectCommand(TakeWord(rest))) {
        reaction.expectationUnreadable = true;
        reaction.note = ExpectFailedLine(event.line, outcome.error);
      }
      break;
    case CommandOutcome::Kind::Expect:
      reaction.expect = outcome.expect;
      reaction.expect->line = event.line;
      break;
    case CommandOutcome::Kind::Quit:
      // Exit as if its question had been answered Yes.
      reaction.exit = RunExitCommand(engine_, false) == ExitOutcome::Exit;
      break;
  }
  return reaction;
}

std::string ConsoleOperator::BoxText(std::uint8_t code) const {
  const ValueBox* box = FindValueBox(code);
  return box == nullptr ? std::string() : boxes_[BoxIndex(*box)];
}

}  // namespace tarvik::console
