// The words and figures of a download's progress, shared by the Download tab and the console.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/window_services.h"

namespace tarvik {

// Per cent of `total` sent, 0..100; an empty file counts as done rather than divided by.
int ProgressPercent(std::uint32_t bytesSent, std::uint32_t totalBytes);

// Seconds still to go at the rate measured so far (`bytesSent` in `elapsedMs`); none until
// something has been measured.
std::optional<long long> EstimateSecondsLeft(std::uint32_t bytesSent, std::uint32_t totalBytes,
                                             long long elapsedMs);

// One line for the progress: "24% (246 of 1000 bytes), about 3 s left" while sending, "waiting
// 60 s for the validators, 42 s left (about 44 s to go)" during a global download's fixed wait,
// "done" and "stopped" at the end. `elapsedMs`: since the download's first packet (sending), or
// since the wait began (waiting).
std::string DescribeDownloadProgress(const DownloadProgress& progress, long long elapsedMs);

}  // namespace tarvik
