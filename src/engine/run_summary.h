// The run summary in its two forms: a text table for people (end of a console run, the window's
// "Statistics") and JSON for a CI job to keep (`--summary FILE.json`).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/run_statistics.h"

namespace tarvik {

// The table: exchanges per command (by its log name, or "Raw Frame 0xCC") with answer times
// (ms), receive errors, notes.
std::string FormatSummaryText(const StatisticsSnapshot& statistics);

// Top-level numbers a front-end adds to the JSON, before the statistics (exit status, ...).
using SummaryFields = std::vector<std::pair<std::string, long long>>;
// The same as a JSON object, answer times in milliseconds with microsecond precision (null when
// a command had no answer).
std::string FormatSummaryJson(const StatisticsSnapshot& statistics,
                              const SummaryFields& fields = {});

}  // namespace tarvik
