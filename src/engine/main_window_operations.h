// What the main window's buttons do beyond posting their character. The Qt window and the console
// front-end both press them through these, so the two behave alike.
#pragma once

#include <string_view>

#include "engine/engine.h"
#include "engine/value_entry.h"

namespace tarvik {

inline constexpr std::string_view kExitQuestion = "Do you want to exit [ TARVIK Host Simulator ] ?";
inline constexpr std::string_view kCloseLogFirst = "Close log file before exiting the program.";

// "Poll ( S )": the answer is shown even when it repeats the last status.
void PressPollButton(Engine& engine);

// A "Change Commands" button: checks the text of its value box and posts the command, or shows
// the entry's error message. True when the command was posted.
bool PressChangeButton(Engine& engine, const ValueBox& box, std::string_view boxText);

// Exit: refused while a log file is recorded; otherwise asks (unless `ask` is false) and closes
// an open port. True when the program may end. A close that the port refuses (a global download
// or an open exchange) keeps the program running: ending then would abandon the validator
// half-way through.
bool ConfirmExit(Engine& engine, bool ask = true);

}  // namespace tarvik
