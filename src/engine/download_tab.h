// What the Download tab's three buttons do. The Qt page and the console both press them through
// these, so the two behave alike; the front-end only chooses the file and shows the fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

inline constexpr std::string_view kFileOpenErrorText = "File Open Error!\n";
inline constexpr std::string_view kFileSizeErrorText = "File Size Error!\n";
inline constexpr std::string_view kPortNotOpenText = "The COM port has not been opened.";
inline constexpr std::string_view kTransactionRunningText =
    "You can not execute this command until the current transaction is completed.";
inline constexpr std::string_view kNoTargetFileText = "A target file has not yet been selected.";
inline constexpr std::string_view kNormalDownloadQuestion =
    "Do you want to execute the download commnad?\n If you don't want to download the program, "
    "click NO.";
inline constexpr std::string_view kGlobalDownloadQuestion =
    "Do you want to execute the global-download commnad?\n If you don't want to download the "
    "program, click NO.";

// The target file's header: six name bytes, then `loadstart` and `loadend`, four bytes each.
inline constexpr std::size_t kTargetHeaderSize = 14;

// " NAME:0102030A:0B0C0D0E" from the first 14 bytes of a target file (the name ends at its first
// zero byte); none when fewer than 14 bytes are given.
std::optional<std::string> FormatTargetHeader(std::span<const std::uint8_t> bytes);

// The captions of the three fields a Browse fills, on the Qt page and on the console.
inline constexpr const char* kTargetFileCaption = "Target File";
inline constexpr const char* kCrcCaption = "CRC";
inline constexpr const char* kHeaderCaption = "Header";

// What a successful Browse puts on the page.
struct TargetFileFields {
  std::string path;    // field 1039
  std::string crc;     // field 1040, "%04X"
  std::string header;  // field 1041
};

// Browse with `path` chosen in the file dialog (an empty path: the dialog was cancelled). Refuses
// a file it cannot open or one shorter than the header with its message; otherwise stores the
// path, computes the file's CRC and enables both download buttons. Window thread.
std::optional<TargetFileFields> BrowseTargetFile(Engine& engine, const std::string& path);

// The two download buttons: their checks, question and start. True when a download was started.
bool PressNormalDownload(Engine& engine);
bool PressGlobalDownload(Engine& engine);

}  // namespace tarvik
