// What the main window's buttons, keys and value boxes do, for the console: each key press of
// the shortcut table runs its button's click, the nine value boxes hold text set by `:value`,
// and Exit asks, closes the port and ends.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/log_tab.h"
#include "engine/value_entry.h"
#include "ui/console/console_expectations.h"
#include "ui/console/console_input.h"

namespace tarvik::console {

// What a key of the main window's shortcut table does.
enum class KeyAction {
  None,           // not a shortcut: the key goes nowhere
  Consumed,       // 'h', 'j', 'l', 'o', 'p', 'q', 's', 'w': swallowed without action
  Post,           // posts the key as the operator command character
  Poll,           // "Poll ( S )": resets the status tracking, then posts
  ChangeCommand,  // checks the value box beside the button, then posts
  StackMode,
  AckMode,
  PollingMode,  // 'O' and Space
  Exit,         // 'x' and 'X'
};

// `acceptanceLog`: the keys '1' and '2' (Init Log, Read Log) post their characters, as they
// do in the window when its acceptance-log switch enables those buttons.
KeyAction ClassifyKey(char key, bool acceptanceLog = false);

// How the Exit command ended.
enum class ExitOutcome { Stay, Exit };

// Runs the main window's Exit: refused while a log file is recorded; asks unless `ask` is false
// (`:quit`); closes an open port and stays when the close is refused.
ExitOutcome RunExitCommand(Engine& engine, bool ask);

struct CommandOutcome {
  enum class Kind { Done, Wait, Quit, Error, Expect };
  Kind kind = Kind::Done;
  int waitMs = 0;     // Wait: how long to stop reading input
  std::string error;  // Error: what was wrong with the line
  Expectation expect;  // Expect: what to wait for (its line is set by Handle)
};

// True for a command line that sends a frame (`:send`, `:send-bytes`): a script lets the exchange
// before it finish first, as it does for a key.
bool IsSendCommand(std::string_view line);

// What the front-end has to do after an input event.
struct Reaction {
  bool exit = false;        // the program ends (Exit answered Yes, `:quit`)
  int waitMs = -1;          // `:wait`: stop reading input this long
  bool endOfInput = false;  // Ctrl-D at the terminal
  std::string note;         // a console line for standard error
  std::string echo;         // text to echo as it is
  // Tab page fields to show ("Target File", "CRC", "Header" after `:browse`), caption and text.
  std::vector<std::pair<std::string, std::string>> fields;
  std::optional<Expectation> expect;  // `:expect`, `:expect-not`: wait and judge
  // An `:expect` or `:expect-not` line that could not be read: it counts as failed, so a typo
  // never lets a run pass unchecked. `note` then holds the failure line.
  bool expectationUnreadable = false;
};

class ConsoleOperator {
 public:
  explicit ConsoleOperator(Engine& engine, bool acceptanceLog = false)
      : engine_(engine), acceptanceLog_(acceptanceLog) {}

  // Runs one input event: a key, the Up arrow or a command line.
  Reaction Handle(const InputEvent& event);

  // A key press with the focus on a button. Exit when the key ended the program.
  ExitOutcome Key(char key);
  // The Up arrow.
  void DisplayMode();
  // A console command line, without its leading ':'.
  CommandOutcome Command(std::string_view line);

  // The text of the value box feeding set command `code` ("" when unknown).
  std::string BoxText(std::uint8_t code) const;

  // The settings file `:properties` fills the dialog from and saves to.
  void SetSettingsPath(std::string path) { settingsPath_ = std::move(path); }
  // What the Log tab shows.
  const LogTabState& LogTab() const { return logTab_; }

 private:
  void ChangeCommand(char key);
  CommandOutcome Send(std::string_view arguments, bool raw);
  CommandOutcome LogButton();
  CommandOutcome Properties(std::string_view arguments);

  Engine& engine_;
  bool acceptanceLog_;
  std::array<std::string, kValueBoxes.size()> boxes_{};
  // Page fields a command filled, handed to the next reaction.
  std::vector<std::pair<std::string, std::string>> fields_;
  std::string settingsPath_;
  LogTabState logTab_;
};

}  // namespace tarvik::console
