// Program download: the target file sent to the validator in data packets, each tagged with its
// offset in the file. The normal download goes to one validator and follows its answers; the
// global download is broadcast to every validator on the line and runs on fixed waits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/response_table.h"

namespace tarvik {

inline constexpr std::string_view kDownloadSuccessText =
    "The target file has been downloaded successfully.";
inline constexpr std::string_view kDownloadCanceledText =
    "Download has being canceled. Turn off the validator and then turn on it to try download "
    "again.";
inline constexpr std::string_view kTargetReadErrorText =
    "Target fie read error has occured. The program will close.";
// A check error used to end with the success box; it now says what failed.
inline constexpr const char* kProgramCheckFailedFormat =
    "The program check has failed: the validator reports CRC %02X%02X, the target file has CRC "
    "%04X. The program has not been accepted.";
inline constexpr std::string_view kDownloadStoppedText =
    "The download has been stopped: the validator stopped answering or answered out of turn (see "
    "the communication log). The target file has been closed.";
inline constexpr std::string_view kGlobalDownloadNoFileText =
    "The global download has been stopped: the target file is not open. Nothing has been sent.";

// The pending command the Download button posts to start a normal download.
inline constexpr std::int32_t kDownloadStartCharacter = 'F';

// Opens `path` read-only into `targetFile`, closing one left open; keeps a copy of the path and
// the packet size (brought into 1..246). True when the file is open.
bool OpenTargetFile(Engine& engine, const std::string& path, std::int32_t packetSize);
// Closes `targetFile` if one is open.
void CloseTargetFile(Engine& engine);

// At the start of a download (read position 0) the offset starts again and `downloadTotalSize`
// is measured; later calls change nothing.
void MeasureTargetFileAtStart(Engine& engine);
// The end-of-file indicator of `targetFile` (true when none is open).
bool TargetFileAtEnd(Engine& engine);

// Reads the next packet from `targetFile` into `downloadPacket` and advances the offsets. After a
// read error it shows the read-error message, closes the log file and ends the program; it
// returns false when the program did not end there (a test's window services).
bool PrepareDownloadPacket(Engine& engine);

// Row handlers: a program download status (0xD4) and the program check result (0xD3).
void HandleDownloadStatus(Engine& engine, const ResponseRow& row, const ResponseContext& context);
void HandleProgramCheck(Engine& engine, const ResponseRow& row, const ResponseContext& context);

// Ends a normal download whose exchange ended before the check result (a silent validator, a
// receive error, an answer out of turn): closes the file, gives the timers back to polling,
// re-enables the buttons and says so. Does nothing when no normal download runs.
void StopUnfinishedDownload(Engine& engine);

// Tells the window how far a download has come: the stage, the bytes sent so far of the file
// and, for a global download's fixed wait, its length and the waits still to come.
void ReportDownloadProgress(Engine& engine, DownloadProgress::Kind kind,
                            DownloadProgress::Stage stage, int waitMs = 0, int laterWaitMs = 0);
// Enables both download buttons: a target file has been chosen, or a download ended (which
// enables the button its start disabled as well as its own).
void EnableDownloadButtons(Engine& engine);

}  // namespace tarvik
