// The Log tab: choosing the log file and starting and stopping its recording. The Qt page and
// the console's `:log-browse`/`:log-button` share this, so both behave alike.
//
// The recording state is the engine's: `logRecordingStopped` (1 while the button reads "Start")
// and the log file the communication log appends to. The rest is what the page shows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

inline constexpr std::string_view kLogStartText = "Start";
inline constexpr std::string_view kLogStopText = "Stop";
inline constexpr std::string_view kLogFileOpenErrorText = "File Open Error!\n";
inline constexpr std::string_view kLogFileStillClosedText = "A log file has still been closed.\n";

struct LogTabState {
  std::string logFilePath;     // `logFilePath`: the chosen file; empty at start
  std::string pathField;       // what the path field shows
  bool buttonEnabled = false;  // the Start/Stop button; disabled until a file is chosen
};

// "Start" or "Stop", as `logRecordingStopped` says.
std::string_view LogButtonText(const Engine& engine);

// Browse, with the path the operator chose, or nothing when the file dialog was cancelled.
// Cancelled: the field empties and the button is disabled; path, file and button text stay.
// Chosen: the path is kept and shown, a running recording's file is closed and the button is
// enabled; its text stays.
void BrowseLogFile(Engine& engine, LogTabState& tab, const std::optional<std::string>& chosen);

// The Start/Stop press. "Start" opens the chosen file for appending ("File Open Error!\n" and a
// line with the file and the reason when it cannot be opened; the button reads "Stop" all the
// same). "Stop" closes the file ("A log file
// has still been closed.\n" when none was open). Both boxes carry the exclamation icon.
void PressLogButton(Engine& engine, LogTabState& tab);

}  // namespace tarvik
