#include "ui/console/console_input.h"

namespace tarvik::console {

namespace {

constexpr char kEscape = '\x1b';
constexpr char kEndOfTransmission = '\x04';  // Ctrl-D
constexpr char kDelete = '\x7f';
constexpr char kBackspace = '\b';
// Parameter bytes of a control sequence beyond this are not a key we know; the sequence is
// abandoned rather than collected without end.
constexpr std::size_t kMaxSequenceLength = 16;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
bool IsFinalByte(char c) { return c >= '\x40' && c <= '\x7e'; }
bool IsParameterByte(char c) { return c >= '\x20' && c <= '\x3f'; }
bool IsPrintable(char c) { return c >= ' ' && c < kDelete; }

}  // namespace

void InputParser::Feed(std::string_view bytes, std::vector<InputEvent>& events) {
  for (const char c : bytes) FeedByte(c, events);
}

void InputParser::Finish(std::vector<InputEvent>& events) {
  escape_ = Escape::None;
  if (inCommand_) FeedCommandByte('\n', events);
}

void InputParser::FeedByte(char c, std::vector<InputEvent>& events) {
  // A script's comment line is skipped whole, up to its line end.
  if (inComment_) {
    if (c == '\n') {
      inComment_ = false;
      ++lineNumber_;
    }
    return;
  }
  if (!terminal_ && lineStart_ && c == '#' && !inCommand_ && escape_ == Escape::None) {
    inComment_ = true;
    return;
  }
  // A command line from a pipe is taken byte for byte; escape sequences are keys only.
  if (inCommand_ && !terminal_) {
    FeedCommandByte(c, events);
    return;
  }

  switch (escape_) {
    case Escape::None:
      if (c == kEscape) {
        escape_ = Escape::Started;
        return;
      }
      break;
    case Escape::Started:
      if (c == '[') {
        escape_ = Escape::Sequence;
        sequenceLength_ = 0;
        return;
      }
      if (c == 'O') {
        escape_ = Escape::Ss3;
        return;
      }
      // A lone Escape does nothing; what follows it is an ordinary key.
      escape_ = Escape::None;
      break;
    case Escape::Sequence:
      if (IsFinalByte(c)) {
        escape_ = Escape::None;
        // Only the plain Up arrow acts; the other arrows and keys are consumed.
        if (c == 'A' && sequenceLength_ == 0 && !inCommand_) {
          events.push_back({InputKind::DisplayMode, 0, {}});
        }
        return;
      }
      if (IsParameterByte(c) && ++sequenceLength_ <= kMaxSequenceLength) return;
      escape_ = Escape::None;
      break;
    case Escape::Ss3:
      escape_ = Escape::None;
      if (c == 'A' && !inCommand_) events.push_back({InputKind::DisplayMode, 0, {}});
      return;
  }

  if (inCommand_) {
    FeedCommandByte(c, events);
    return;
  }
  if (IsLineEnd(c)) {
    lineStart_ = true;
    if (c == '\n') ++lineNumber_;
    return;
  }
  if (c == ':' && (lineStart_ || terminal_)) {
    inCommand_ = true;
    commandLine_ = lineNumber_;
    commandTooLong_ = false;
    command_.clear();
    if (terminal_) events.push_back({InputKind::Echo, 0, ":"});
    return;
  }
  if (terminal_ && c == kEndOfTransmission) {
    events.push_back({InputKind::EndOfInput, 0, {}});
    return;
  }
  lineStart_ = false;
  events.push_back({InputKind::Key, c, {}});
}

void InputParser::FeedCommandByte(char c, std::vector<InputEvent>& events) {
  if (IsLineEnd(c)) {
    inCommand_ = false;
    lineStart_ = true;
    if (terminal_) events.push_back({InputKind::Echo, 0, "\n"});
    if (commandTooLong_) {
      events.push_back({InputKind::CommandTooLong, 0, {}, commandLine_});
    } else {
      events.push_back({InputKind::Command, 0, command_, commandLine_});
    }
    command_.clear();
    if (c == '\n') ++lineNumber_;
    return;
  }
  if (terminal_) {
    if (c == kDelete || c == kBackspace) {
      // Erasing the colon itself leaves the command line.
      if (command_.empty()) inCommand_ = false;
      if (!command_.empty()) command_.pop_back();
      events.push_back({InputKind::Echo, 0, "\b \b"});
      return;
    }
    if (!IsPrintable(c)) return;
    events.push_back({InputKind::Echo, 0, std::string(1, c)});
  }
  if (command_.size() >= kMaxCommandLine) {
    commandTooLong_ = true;
    return;
  }
  command_.push_back(c);
}

}  // namespace tarvik::console
