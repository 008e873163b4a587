// The console front-end: the whole host driven from standard input, for scripted validator
// regression runs and for a terminal. Every character read is a key press in the main window,
// lines starting with ':' are console commands (`:value`, `:wait`, `:quit`, a script's `:expect`
// and `:expect-not`, `:send` and `:send-bytes`, the Download tab's `:browse`, `:normal-download`
// and `:global-download`, the Log tab's `:log-browse` and `:log-button`, `:properties`), the
// communication log goes to standard output and every other window effect to standard error.
#pragma once

#include <functional>

#include "ui/host_options.h"
#include "transport/serial_link.h"

namespace tarvik::console {

// Exit statuses besides 0.
inline constexpr int kExitPortUnavailable = 2;  // no terminal, and the port did not open

struct ConsoleIo {
  int input = 0;          // key presses and command lines
  bool terminal = false;  // `input` is a terminal: raw keys, echo, questions asked
  // Standard output was closed at the start (its slot now holds /dev/null, so no device opened
  // later can take it): the log cannot be written, which the run reports and ends on.
  bool outputClosed = false;
};

// Puts the terminal back as it was before the console's raw mode, from a signal handler (only
// async-signal-safe calls); does nothing when raw mode is not on.
void RestoreTerminalForSignal();

// Runs the console on `link` until Exit or the end of input; returns the exit status.
// `lineDescriptor`, when given, returns the open line's descriptor (-1 when closed) so the
// worker can sleep until bytes arrive.
int RunConsole(const HostOptions& options, SerialLink& link, ConsoleIo io,
               std::function<int()> lineDescriptor = {});

}  // namespace tarvik::console
