// The console's keyboard: turns the bytes read from standard input into key presses, the
// Display Mode arrow and console command lines. Pure: no engine, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::console {

enum class InputKind {
  Key,             // one character typed with the focus on a button
  DisplayMode,     // the Up arrow
  Command,         // a line that started with ':' (the text after the colon, without line end)
  CommandTooLong,  // a command line longer than kMaxCommandLine, dropped whole
  Echo,            // terminal only: text to echo for the command line being typed
  EndOfInput,      // terminal only: Ctrl-D
};

struct InputEvent {
  InputKind kind;
  char key = 0;
  std::string text;
  int line = 0;  // Command: the input line it began on, counted from 1 (for messages)

  bool operator==(const InputEvent&) const = default;
};

// Longest command line kept; a longer one is reported as too long when it ends.
inline constexpr std::size_t kMaxCommandLine = 4096;

class InputParser {
 public:
  // `terminal`: keys come from a person at a terminal. Then ':' starts a command line wherever
  // it is typed, the line is echoed and can be edited with Backspace, and Ctrl-D ends the input.
  // From a pipe a command line is a line whose first character is ':', and a line whose first
  // character is '#' is a comment.
  explicit InputParser(bool terminal) : terminal_(terminal) {}

  // Appends the events of `bytes` to `events`. Escape sequences and command lines may be split
  // across calls.
  void Feed(std::string_view bytes, std::vector<InputEvent>& events);
  // The input has ended: a command line still being typed counts as ended too.
  void Finish(std::vector<InputEvent>& events);

 private:
  enum class Escape { None, Started, Sequence, Ss3 };

  void FeedByte(char c, std::vector<InputEvent>& events);
  void FeedCommandByte(char c, std::vector<InputEvent>& events);

  bool terminal_;
  bool lineStart_ = true;
  bool inCommand_ = false;
  bool commandTooLong_ = false;
  bool inComment_ = false;
  int lineNumber_ = 1;
  int commandLine_ = 0;
  std::string command_;
  Escape escape_ = Escape::None;
  std::size_t sequenceLength_ = 0;
};

}  // namespace tarvik::console
