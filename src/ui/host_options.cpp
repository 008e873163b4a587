#include "ui/host_options.h"

#include <charconv>
#include <string_view>

#include "engine/engine.h"

namespace tarvik {

const char* const kHostUsage =
    "Usage: tarvik-host [options]\n"
    "The TARVIK Host Simulator: plays the host in front of one banknote validator.\n"
    "\n"
    "Options:\n"
    "  --console          run on the console even when a display is available\n"
    "  --demo             put a virtual validator on a pseudo-terminal and use it\n"
    "  --device PATH      use this serial device for every COM port\n"
    "  --settings FILE    the settings file (default: ~/.config/tarvik-host/BEXALTOOL.INI)\n"
    "  --answer yes|no    the answer to Yes/No questions when input is no terminal (default yes)\n"
    "  --acceptance-log   enable Init Log ( 1 ) and Read Log ( 2 ) and their keys, for a\n"
    "                     validator that supports acceptance-data reading; a reading saves\n"
    "                     LOG.dat, Ad data go to ADDATA.dat (both in the working directory)\n"
    "  --screenshot FILE  save a picture of the window shortly after the start, then exit\n"
    "  --screenshot-delay MS  take the --screenshot picture MS ms after the start (1500)\n"
    "  --screenshot-view window|log|properties|download:FILE  what --screenshot pictures\n"
    "  --global-download-waits A,B,C,D  global download waits in ms (3000,10000,60000,1000)\n"
    "  --version          print the version and exit\n"
    "  --timestamps       start every log line (standard output, log file) with HH:MM:SS.mmm\n"
    "  --fail-fast        end a script at its first failed expectation\n"
    "  --summary FILE     write the run summary as JSON to FILE at the end of a console run\n"
    "  --help, -h         print this text and exit\n"
    "Options given as --NAME VALUE may also be written --NAME=VALUE; other options go to Qt.\n"
    "\n"
    "On the console every character read is a key of the main window (S polls, r resets,\n"
    "x exits, Space toggles polling, the Up arrow the display mode, ...); lines starting with\n"
    "':' are commands (from a pipe, lines starting with '#' are comments):\n"
    "  :value NAME TEXT   set the value box NAME (disable, security, mode, inhibit, direction,\n"
    "                     function, machine, barcode-func, barcode-inhibit)\n"
    "  :wait MS           stop reading input for MS milliseconds\n"
    "  :browse PATH       the Download tab's Browse with PATH chosen\n"
    "  :normal-download   the Download tab's Normal Download button\n"
    "  :global-download   the Download tab's Global Download button\n"
    "  :expect TEXT [MS]  wait until a log entry after the one the last :expect matched\n"
    "                     contains TEXT, at most MS ms (default 2000); a last word of digits\n"
    "                     is MS, so give MS when TEXT ends in a number\n"
    "  :expect-not TEXT MS  fail if such an entry appears within MS ms\n"
    "  :send CODE [BYTE...]  send a frame (hex bytes; SYNC, LNG and CRC added)\n"
    "  :send-bytes BYTE...   write these bytes exactly as given\n"
    "  :log-browse PATH   choose the log file on the Log tab (no PATH: Browse cancelled)\n"
    "  :log-button        press the Log tab's Start/Stop button\n"
    "  :properties PORT BAUD POLLING MODE PACKET\n"
    "                     set the Properties dialog (PORT 1-20, BAUD 9600/19200/38400,\n"
    "                     MODE Normal/Test) and press OK\n"
    "  :quit              exit\n"
    "At the end of input a running download is let finish (a global download too: leaving\n"
    "it half-way would leave every validator on the line without a program), then the program\n"
    "exits.\n"
    "Standard output carries the communication log; everything else goes to standard error,\n"
    "a failed expectation as \"EXPECT FAILED: line N: TEXT (waited MS ms; last entry: ...)\",\n"
    "the run summary at the end.\n"
    "\n"
    "Exit status:\n"
    "  0   a normal end: every expectation held (or none was set); --help, --version\n"
    "  1   an expectation failed; or --screenshot could not save the picture\n"
    "  2   the port did not open (input not a terminal), or the demo validator did not start\n"
    "  64  a wrong command line\n"
    "  74  the communication log could not be written to standard output\n";

namespace {

// "A,B,C,D": four waits of 0 to 600000 ms.
std::optional<std::array<int, 4>> ParseWaits(std::string_view text) {
  constexpr int kMaxWaitMs = 600000;
  std::array<int, 4> waits{};
  for (std::size_t i = 0; i < waits.size(); ++i) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const auto [end, status] = std::from_chars(item.data(), item.data() + item.size(), waits[i]);
    if (item.empty() || status != std::errc() || end != item.data() + item.size() || waits[i] < 0 ||
        waits[i] > kMaxWaitMs) {
      return std::nullopt;
    }
    const bool last = i + 1 == waits.size();
    if (last != (comma == std::string_view::npos)) return std::nullopt;
    if (!last) text.remove_prefix(comma + 1);
  }
  return waits;
}

// What --screenshot-view may name: a page of the window, the Properties dialog, or the Download
// page during a normal download of a file.
bool IsScreenshotView(std::string_view view) {
  constexpr std::string_view kDownload = "download:";
  return view == "window" || view == "log" || view == "properties" ||
         (view.starts_with(kDownload) && view.size() > kDownload.size());
}

}  // namespace

ParsedCommandLine ParseHostOptions(int argc, const char* const* argv) {
  ParsedCommandLine parsed;
  HostOptions& options = parsed.options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view inlineValue;
    bool hasInlineValue = false;
    if (arg.starts_with("--")) {
      if (const auto equals = arg.find('='); equals != std::string_view::npos) {
        inlineValue = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        hasInlineValue = true;
      }
    }
    // The value of an option that needs one, or nullptr after reporting its absence. An option
    // after it is not taken as its value: "--summary --console" would otherwise write a file
    // named "--console" and run the window. Such a name can still be given with '='.
    auto value = [&]() -> const char* {
      if (hasInlineValue) return inlineValue.data();
      if (i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--")) return argv[++i];
      parsed.error = std::string(arg) + " needs a value";
      if (i + 1 < argc) {
        parsed.error += std::string(" (") + argv[i + 1] +
                        " is an option; for a value like it write " + std::string(arg) + "=" +
                        argv[i + 1] + ")";
      }
      return nullptr;
    };
    // An option that is given or not: it takes no value.
    auto flag = [&](bool& field) {
      field = true;
      if (hasInlineValue) parsed.error = std::string(arg) + " takes no value";
    };
    // An option whose value must not be empty; `whenEmpty` says why.
    auto nonEmptyValue = [&](std::string& field, std::string_view whenEmpty) {
      if (const char* v = value()) {
        field = v;
        if (field.empty()) parsed.error = whenEmpty;
      }
    };

    if (arg == "--help" || arg == "-h") {
      flag(parsed.help);
    } else if (arg == "--version") {
      flag(parsed.version);
    } else if (arg == "--console") {
      flag(options.console);
    } else if (arg == "--demo") {
      flag(options.demo);
    } else if (arg == "--timestamps") {
      flag(options.timestamps);
    } else if (arg == "--fail-fast") {
      flag(options.failFast);
    } else if (arg == "--summary") {
      nonEmptyValue(options.summaryPath, "--summary needs a file name");
    } else if (arg == "--acceptance-log") {
      flag(options.acceptanceLog);
    } else if (arg == "--device") {
      // An empty path would silently mean "no override", and so another port: an unset
      // variable in a script must not talk to whatever COM1 happens to be.
      nonEmptyValue(options.device, "--device needs a device path, not \"\"");
    } else if (arg == "--settings") {
      nonEmptyValue(options.settingsPath, "--settings needs a file, not \"\"");
    } else if (arg == "--answer") {
      if (const char* v = value()) {
        const std::string_view answer = v;
        if (answer == "yes") {
          options.answer = Answer::Yes;
        } else if (answer == "no") {
          options.answer = Answer::No;
        } else {
          parsed.error = "--answer takes yes or no, not \"" + std::string(answer) + "\"";
        }
      }
    } else if (arg == "--screenshot") {
      nonEmptyValue(options.screenshotPath, "--screenshot needs a file name");
    } else if (arg == "--screenshot-delay") {
      if (const char* v = value()) {
        const std::string_view text = v;
        int ms = 0;
        const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), ms);
        if (text.empty() || status != std::errc() || end != text.data() + text.size() || ms < 0) {
          parsed.error = "--screenshot-delay takes a wait in ms, not \"" + std::string(text) + "\"";
        } else {
          options.screenshotDelayMs = ms;
        }
      }
    } else if (arg == "--screenshot-view") {
      if (const char* v = value()) {
        options.screenshotView = v;
        if (!IsScreenshotView(options.screenshotView)) {
          parsed.error =
              "--screenshot-view takes window, log, properties or download:FILE, not \"" +
              options.screenshotView + "\"";
        }
      }
    } else if (arg == "--global-download-waits") {
      if (const char* v = value()) {
        options.globalDownloadWaitsMs = ParseWaits(v);
        if (!options.globalDownloadWaitsMs) {
          parsed.error =
              "--global-download-waits takes four waits of 0 to 600000 ms, as "
              "3000,10000,60000,1000, not \"" +
              std::string(v) + "\"";
        }
      }
    } else {
      parsed.unknown.emplace_back(argv[i]);
    }
    if (!parsed.error.empty()) break;
  }
  return parsed;
}

void ApplyHostOptions(const HostOptions& options, Engine& engine) {
  if (const auto& waits = options.globalDownloadWaitsMs) {
    engine.download.globalWaits = {(*waits)[0], (*waits)[1], (*waits)[2], (*waits)[3]};
  }
  engine.logTimestamps.store(options.timestamps);
}

}  // namespace tarvik
