// The communication log: the transmit and receive lines, in the box (CRLF) and, while a
// recording runs, in the log file (LF).
#pragma once

#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

// Renders the record's bytes as "FC 05 11 27 56" (upper case, single blanks, none at the end).
void FormatHex(FrameLogRecord& record);
// Logs `tx` ("NAME --->" and, in "Binary and Full", the bracketed dump).
void LogTransmittedFrame(Engine& engine);
// Logs `rx` as the display mode, the limited status display and the frame check ask.
void LogReceivedFrame(Engine& engine);
// Appends a composed entry to the log box (which keeps itself at most 28,000 characters).
void DisplayMessageOnLogBox(Engine& engine, std::string_view text);

// Logs one line of the host's own (no frame): a port lost or reopened. Shown in every display
// mode, and written to the log file of a recording like any other entry.
void LogHostEvent(Engine& engine, std::string_view text);

// Sets a frame record's log text, cut to fit.
void SetLogText(FrameLogRecord& record, std::string_view text);
// Sets `rx.logText` (cut to fit) — the first step of every response handler.
void SetRxLogText(Engine& engine, std::string_view text);

// The first failed write of a recording is reported once, as an exclamation box:
// "<text> <file>: <reason>. <fix>". The recording goes on.
inline constexpr std::string_view kLogFileWriteErrorText = "Log File Write Error!";
inline constexpr std::string_view kLogFileWriteErrorFix =
    "Lines are missing from the recording; press Stop and choose a file where there is room.";

// The log file of a recording (the Log tab). Opening appends in text mode; on failure errno
// says why.
bool OpenLogFile(Engine& engine, const std::string& path);
// Closes the file; false when none was open.
bool CloseLogFile(Engine& engine);
bool IsLogFileOpen(Engine& engine);

}  // namespace tarvik
