// Command-line options of tarvik-host, shared by the console and the window front-ends.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tarvik {

struct Engine;

enum class Answer { Yes, No };

struct HostOptions {
  bool console = false;         // --console: the console front-end even when a display exists
  bool demo = false;            // --demo: start the virtual validator on a pseudo-terminal
  std::string device;           // --device PATH: this serial device instead of the COM mapping
  std::string settingsPath;     // --settings FILE: empty for the default location
  Answer answer = Answer::Yes;  // --answer yes|no: Yes/No questions when stdin is not a terminal
  // --global-download-waits A,B,C,D: the global download's fixed waits in ms (after INHIBIT SET,
  // after the start, after the first and after every later data frame); none: the usual ones.
  std::optional<std::array<int, 4>> globalDownloadWaitsMs;
  bool timestamps = false;     // --timestamps: every log line starts with the wall-clock time
  bool failFast = false;       // --fail-fast: a script ends at its first failed expectation
  std::string summaryPath;     // --summary FILE: the run summary as JSON
  bool acceptanceLog = false;  // --acceptance-log: Init Log ( 1 ) and Read Log ( 2 ) usable
  // The window's picture: --screenshot FILE saves it and ends the run, --screenshot-delay MS
  // takes it that long after the start (none: the window's own delay), --screenshot-view
  // window|log|properties|download:FILE says what it shows.
  std::string screenshotPath;
  std::optional<int> screenshotDelayMs;
  std::string screenshotView = "window";
};

struct ParsedCommandLine {
  HostOptions options;
  bool help = false;
  bool version = false;              // --version
  std::string error;                 // the first option that could not be taken, explained
  std::vector<std::string> unknown;  // options left for the window toolkit
};

// The exit status of a wrong command line (EX_USAGE), whichever front-end finds it wrong.
inline constexpr int kExitUsage = 64;

// Reads argv[1..]. Options take their value as the next argument or after '='.
ParsedCommandLine ParseHostOptions(int argc, const char* const* argv);

// The --help text.
extern const char* const kHostUsage;

// Sets `engine` up as the options ask (the global download's waits, timestamps in the log);
// before its worker starts.
void ApplyHostOptions(const HostOptions& options, Engine& engine);

}  // namespace tarvik
