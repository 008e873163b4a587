// End-to-end figures: tarvik-host on a pseudo-terminal in front of the virtual validator, each
// figure measured in the same run for the 1 ms sleep-loop baseline host (bench/sleep_loop_host)
// and printed as ratios against that baseline and against the target. The download's baseline
// is the line itself (e2e/download_figure.h).
//
//   tarvik_e2e_driver [--quick] [--only turnarounds|keys|loads|download] [--host PATH]
//                     [--baseline PATH]
//
// Turnarounds are taken where the bytes cross the line: the peer stamps the end of its write and
// the moment it has read the host's frame whole. Wake-ups are the voluntary context switches of
// all the program's threads (/proc/PID/task/*/status), processor time their schedstat.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child.h"
#include "e2e/download_figure.h"
#include "e2e/peer.h"
#include "protocol/line_codes.h"

namespace {

using namespace tarvik::bench;
using std::chrono::milliseconds;

#ifndef TARVIK_HOST_BINARY
#define TARVIK_HOST_BINARY "tarvik-host"
#endif
#ifndef TARVIK_BASELINE_BINARY
#define TARVIK_BASELINE_BINARY "tarvik_sleep_loop_host"
#endif

struct Config {
  std::string host = TARVIK_HOST_BINARY;
  std::string baseline = TARVIK_BASELINE_BINARY;
  std::size_t samples = 300;
  int idleSeconds = 20;
  int floodSeconds = 5;
  std::size_t downloadBytes = 1u << 20;
  std::string only;  // one group of figures, or all when empty
  std::filesystem::path workDir;
};

enum class Subject { Host, Window, Baseline };

// --- Results -----------------------------------------------------------------------------------

struct Stats {
  std::size_t count = 0;
  double median = 0;
  double p99 = 0;
};

// Nothing when no sample was taken.
std::optional<Stats> Summarise(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  Stats stats;
  stats.count = values.size();
  std::sort(values.begin(), values.end());
  stats.median = values[values.size() / 2];
  stats.p99 = values[std::min(values.size() - 1, (values.size() * 99 + 99) / 100 - 1)];
  return stats;
}

struct Row {
  std::string figure;
  std::optional<double> host;
  std::optional<double> baseline;
  std::optional<double> target;  // the limit the host must stay below
  std::string unit;
  std::string note;  // with no host figure, why it could not be taken
};

std::vector<Row> gRows;

// One quantity of a measurement, the host's beside the baseline's; `of` picks it out. A row
// without the host's figure has failed: the measurement could not be taken.
template <typename Measurement, typename Pick>
Row MeasuredRow(std::string figure, std::string unit, const std::optional<Measurement>& host,
                const std::optional<Measurement>& base, Pick of) {
  Row row{std::move(figure), {}, {}, {}, std::move(unit), {}};
  if (host) row.host = of(*host);
  if (base) row.baseline = of(*base);
  return row;
}

// The p99 row of a latency figure (with the median in its note), host against baseline.
Row LatencyRow(std::string figure, const std::optional<Stats>& host,
               const std::optional<Stats>& base, double targetMs) {
  Row row = MeasuredRow(std::move(figure), "ms", host, base, [](const Stats& s) { return s.p99; });
  row.target = targetMs;
  if (host) {
    char note[96];
    std::snprintf(note, sizeof note, "median %.3f ms, %zu samples", host->median, host->count);
    row.note = note;
  }
  return row;
}

std::string Number(std::optional<double> value) {
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", *value);
  return text;
}

std::string Ratio(std::optional<double> value, std::optional<double> reference) {
  if (!value || !reference || *reference <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", *value / *reference);
  return text;
}

// "-" for a figure with no target.
std::string Verdict(const Row& row) {
  if (!row.host) return "FAILED";
  if (!row.target) return "-";
  return *row.host < *row.target ? "met" : "NOT MET";
}

void PrintTable() {
  std::printf("\n%-46s %12s %12s %10s %10s %10s  %s\n", "figure", "tarvik-host", "baseline",
              "vs base", "target", "vs target", "verdict");
  for (const Row& row : gRows) {
    const std::string verdict = Verdict(row);
    std::printf("%-46s %12s %12s %10s %10s %10s  %s%s%s\n",
                (row.figure + " (" + row.unit + ")").c_str(), Number(row.host).c_str(),
                Number(row.baseline).c_str(), Ratio(row.host, row.baseline).c_str(),
                Number(row.target).c_str(), Ratio(row.host, row.target).c_str(), verdict.c_str(),
                row.note.empty() ? "" : "  ", row.note.c_str());
  }
  std::fflush(stdout);
}

// --- Running a subject -------------------------------------------------------------------------

std::string WriteSettings(const Config& config, int pollingMs) {
  const std::filesystem::path path = config.workDir / ("poll" + std::to_string(pollingMs) + ".ini");
  std::ofstream(path) << "[BEXALTOOL]\nPOLLING DURATION=" << pollingMs << "\n";
  return path.string();
}

// Starts `subject` on `device`; polling every `pollingMs` (0: the baseline never polls). Returns
// the file its standard error goes to, one of its own for every run so that a later run cannot
// overwrite the reason an earlier one failed; nothing when it did not start.
std::optional<std::string> StartSubject(const Config& config, Subject subject,
                                        const std::string& device, int pollingMs, Input input,
                                        int cpu, Child& child) {
  static int runs = 0;
  ChildOptions options;
  options.input = input;
  options.cpu = cpu;
  options.stderrPath = (config.workDir / ("subject-" + std::to_string(++runs) + ".err")).string();
  if (subject == Subject::Baseline) {
    options.argv = {config.baseline, "--device", device, "--poll", std::to_string(pollingMs)};
  } else {
    options.argv = {config.host, "--device", device, "--settings",
                    WriteSettings(config, std::max(pollingMs, 10))};
    if (subject == Subject::Host) {
      options.argv.push_back("--console");
    } else {
      options.environment = {"QT_QPA_PLATFORM=offscreen"};
    }
  }
  std::string error;
  if (!child.Start(options, error)) {
    std::fprintf(stderr, "tarvik_e2e_driver: cannot start %s: %s\n", options.argv[0].c_str(),
                 error.c_str());
    return std::nullopt;
  }
  return options.stderrPath;
}

// Starts the validator's end of the line; false when it did not start (standard error says why).
bool StartPeer(const Peer::Options& options, Peer& peer) {
  std::string error;
  if (peer.Start(options, error)) return true;
  std::fprintf(stderr, "tarvik_e2e_driver: the validator did not start: %s\n", error.c_str());
  return false;
}

// Starts `subject` on the peer's line with polling off, so no status exchange stands in a
// figure's way: the baseline is told so, the host gets its polling key (Space).
bool StartQuiet(const Config& config, Subject subject, const Peer& peer, Input input, int cpu,
                Child& child) {
  if (!StartSubject(config, subject, peer.Path(), 0, input, cpu, child)) return false;
  std::this_thread::sleep_for(milliseconds(500));
  if (subject != Subject::Baseline) child.Type(" ");
  std::this_thread::sleep_for(milliseconds(300));
  return true;
}

// --- The figures -------------------------------------------------------------------------------

// Escrow → STACK-1: an unsolicited ESCROW written on a quiet line (polling off), whole or one
// byte at a time, and the subject's STACK-1 read back; in milliseconds from the ESCROW's last
// byte. The host handles an escrow in answer to a poll on the same path.
std::optional<Stats> EscrowTurnaround(const Config& config, Subject subject, int cpu,
                                      bool byteByByte) {
  Peer::Options options;
  options.answer = false;
  options.cpu = cpu;
  Peer peer;
  Child child;
  if (!StartPeer(options, peer) || !StartQuiet(config, subject, peer, Input::Pipe, cpu, child)) {
    return std::nullopt;
  }
  std::mt19937 random(7);
  std::uniform_int_distribution<int> gapUs(2000, 6000);
  std::vector<double> samples;
  for (std::size_t i = 0; i < config.samples && child.Running(); ++i) {
    const auto sent = std::chrono::steady_clock::now();
    peer.InjectEscrow(byteByByte);
    std::chrono::steady_clock::time_point seen;
    peer.WaitForHostFrame(tarvik::cmd::kStack1, sent, sent + std::chrono::seconds(1), seen);
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
    for (const double us : peer.TakeTurnarounds()) samples.push_back(us / 1000.0);
  }
  child.Stop();
  peer.Stop();
  return Summarise(std::move(samples));
}

// Key → frame: 'V' typed on the subject's input, its version request read off the line.
std::optional<Stats> KeyToFrame(const Config& config, Subject subject, Input input) {
  Peer peer;
  Child child;
  if (!StartPeer({}, peer) || !StartQuiet(config, subject, peer, input, -1, child)) {
    return std::nullopt;
  }
  std::mt19937 random(42);
  std::uniform_int_distribution<int> gapUs(3000, 8000);
  std::vector<double> samples;
  for (std::size_t i = 0; i < config.samples && child.Running(); ++i) {
    const auto typed = std::chrono::steady_clock::now();
    child.Type("V");
    std::chrono::steady_clock::time_point seen;
    if (peer.WaitForHostFrame(tarvik::cmd::kVersionRequest, typed, typed + std::chrono::seconds(2),
                              seen)) {
      samples.push_back(std::chrono::duration<double, std::milli>(seen - typed).count());
    }
    // The answer is taken before the next key, as an operator's next key would be.
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
  }
  child.Stop();
  peer.Stop();
  return Summarise(std::move(samples));
}

struct Load {
  double wakeUpsPerSecond = 0;
  double cpuPercent = 0;
};

// Wake-ups and processor time over `seconds` of `subject` polling at `pollingMs`, or with no port
// at all (`portOpen` false), or under a flood of unsolicited ESCROW frames.
std::optional<Load> Idle(const Config& config, Subject subject, bool portOpen, bool flood,
                         int seconds) {
  Peer peer;
  if (!StartPeer({}, peer)) return std::nullopt;
  Child child;
  const std::string device = portOpen ? peer.Path() : (config.workDir / "no-such-port").string();
  // With no port a script would end at once; a terminal keeps the host running.
  const Input input = portOpen ? Input::Pipe : Input::Terminal;
  const std::optional<std::string> errors =
      StartSubject(config, subject, device, 200, input, -1, child);
  if (!errors) return std::nullopt;
  std::this_thread::sleep_for(milliseconds(1500));
  if (flood) {
    peer.SetFlood(true);
    std::this_thread::sleep_for(milliseconds(200));
  }
  const ProcSample before = SampleProcess(child.Pid());
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const ProcSample after = SampleProcess(child.Pid());
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool alive = child.Running();
  peer.SetFlood(false);
  child.Stop();
  peer.Stop();
  if (!alive) {
    std::fprintf(stderr, "tarvik_e2e_driver: %s ended during the measurement (see %s)\n",
                 subject == Subject::Baseline ? "the baseline" : "tarvik-host", errors->c_str());
    return std::nullopt;
  }
  Load load;
  load.wakeUpsPerSecond = static_cast<double>(after.wakeUps - before.wakeUps) / elapsed;
  load.cpuPercent = 100.0 * (after.cpuSeconds - before.cpuSeconds) / elapsed;
  return load;
}

// --- The run -----------------------------------------------------------------------------------

void Turnarounds(const Config& config) {
  const struct {
    const char* name;
    int cpu;
    bool byteByByte;
    double targetMs;
  } cases[] = {
      {"escrow -> Stack p99", -1, false, 0.3},
      {"escrow -> Stack p99, pinned to one core", 0, false, 0.3},
      {"ESCROW byte by byte: last byte -> Stack p99", -1, true, 0.5},
  };
  for (const auto& c : cases) {
    std::printf("measuring %s ...\n", c.name);
    std::fflush(stdout);
    const auto host = EscrowTurnaround(config, Subject::Host, c.cpu, c.byteByByte);
    const auto base = EscrowTurnaround(config, Subject::Baseline, c.cpu, c.byteByByte);
    gRows.push_back(LatencyRow(c.name, host, base, c.targetMs));
    std::string median = c.name;
    median.replace(median.find("p99"), 3, "median");
    gRows.push_back(MeasuredRow(median, "ms", host, base, [](const Stats& s) { return s.median; }));
  }
}

void Keys(const Config& config) {
  for (const Input input : {Input::Terminal, Input::Pipe}) {
    const std::string name =
        std::string("key -> frame p99, from a ") + (input == Input::Pipe ? "pipe" : "terminal");
    std::printf("measuring %s ...\n", name.c_str());
    std::fflush(stdout);
    const auto host = KeyToFrame(config, Subject::Host, input);
    const auto base = KeyToFrame(config, Subject::Baseline, input);
    gRows.push_back(LatencyRow(name, host, base, 1.0));
  }
}

void Loads(const Config& config) {
  const struct {
    const char* name;
    Subject subject;
    bool portOpen;
    bool flood;
    std::optional<double> wakeTarget;
    std::optional<double> cpuTarget;
  } cases[] = {
      {"console idle, polling at 200 ms", Subject::Host, true, false, 20, 0.1},
      {"window idle, polling at 200 ms", Subject::Window, true, false, 40, 0.3},
      {"console, port closed", Subject::Host, false, false, 3, {}},
      {"console under an ESCROW flood", Subject::Host, true, true, {}, {}},
  };
  for (const auto& c : cases) {
    std::printf("measuring %s ...\n", c.name);
    std::fflush(stdout);
    const int seconds = c.flood ? config.floodSeconds : config.idleSeconds;
    const auto host = Idle(config, c.subject, c.portOpen, c.flood, seconds);
    const auto base = Idle(config, Subject::Baseline, c.portOpen, c.flood, seconds);
    Row wakes = MeasuredRow(std::string(c.name) + ": wake-ups", "1/s", host, base,
                            [](const Load& l) { return l.wakeUpsPerSecond; });
    Row cpu = MeasuredRow(std::string(c.name) + ": processor", "% core", host, base,
                          [](const Load& l) { return l.cpuPercent; });
    wakes.target = c.wakeTarget;
    cpu.target = c.cpuTarget;
    gRows.push_back(wakes);
    gRows.push_back(cpu);
  }
}

// The normal download, paced at 38,400 baud against the line's own time, then unpaced for the
// host's packet rate.
void Downloads(const Config& config) {
  const std::size_t kib = config.downloadBytes / 1024;
  const std::string size =
      kib >= 1024 ? std::to_string(kib / 1024) + " MiB" : std::to_string(kib) + " KiB (quick)";
  for (const bool paced : {true, false}) {
    const std::string name = "normal download " + size + (paced ? ", 38,400 baud" : " unpaced");
    std::printf("measuring %s ...\n", name.c_str());
    std::fflush(stdout);
    DownloadFigureConfig figure;
    figure.host = config.host;
    figure.workDir = config.workDir;
    figure.fileBytes = config.downloadBytes;
    figure.paced = paced;
    std::string error;
    const std::optional<DownloadRun> run = RunDownload(figure, error);
    if (!run) std::fprintf(stderr, "tarvik_e2e_driver: %s: %s\n", name.c_str(), error.c_str());
    char note[160] = "no figure (see above)";
    if (paced) {
      // Baseline: the line time of the frames exchanged; the limit is 1.02 times that.
      Row row{name, {}, {}, {}, "s", note};
      if (run) {
        row.host = run->seconds;
        row.baseline = run->lineSeconds;
        row.target = 1.02 * run->lineSeconds;
        std::snprintf(
            note, sizeof note,
            "host / line %.4f; baseline: the line, %llu + %llu frame bytes x 11 bits; "
            "%u packets",
            run->seconds / run->lineSeconds, static_cast<unsigned long long>(run->timing.hostBytes),
            static_cast<unsigned long long>(run->timing.validatorBytes), run->timing.packets);
        row.note = note;
      }
      gRows.push_back(row);
    } else {
      Row row{name + ": packets", {}, {}, {}, "1/s", note};
      if (run) {
        row.host = run->packetsPerSecond;
        std::snprintf(note, sizeof note, "%u packets in %.3f s", run->timing.packets, run->seconds);
        row.note = note;
      }
      gRows.push_back(row);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      config.samples = 20;
      config.idleSeconds = 2;
      config.floodSeconds = 1;
      config.downloadBytes = 32 * 1024;
    } else if (arg == "--only" && i + 1 < argc) {
      config.only = argv[++i];
    } else if (arg == "--host" && i + 1 < argc) {
      config.host = argv[++i];
    } else if (arg == "--baseline" && i + 1 < argc) {
      config.baseline = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: tarvik_e2e_driver [--quick] [--only turnarounds|keys|loads|download] "
                   "[--host PATH] [--baseline PATH]\n");
      return 64;
    }
  }
  const struct {
    const char* name;
    void (*run)(const Config&);
  } groups[] = {
      {"turnarounds", Turnarounds}, {"keys", Keys}, {"loads", Loads}, {"download", Downloads}};
  if (!config.only.empty() &&
      std::none_of(std::begin(groups), std::end(groups),
                   [&config](const auto& group) { return config.only == group.name; })) {
    std::fprintf(stderr, "tarvik_e2e_driver: --only takes turnarounds, keys, loads or download\n");
    return 64;
  }
  // A subject that has ended must not end the driver when its input is written to.
  std::signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/tarvik-bench.XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    std::perror("tarvik_e2e_driver: mkdtemp");
    return 1;
  }
  config.workDir = dir;
  std::printf("tarvik_e2e_driver: %u processors; host %s; baseline %s\n",
              std::thread::hardware_concurrency(), config.host.c_str(), config.baseline.c_str());

  for (const auto& group : groups) {
    if (config.only.empty() || config.only == group.name) group.run(config);
  }
  PrintTable();

  // Kept when a figure failed: the subject's standard error there says why.
  if (std::none_of(gRows.begin(), gRows.end(), [](const Row& row) { return !row.host; })) {
    std::error_code ignored;
    std::filesystem::remove_all(config.workDir, ignored);
  } else {
    std::printf("\nkept %s for the failed figures\n", config.workDir.c_str());
  }
  const bool allMet = std::none_of(gRows.begin(), gRows.end(), [](const Row& row) {
    const std::string verdict = Verdict(row);
    return verdict == "FAILED" || verdict == "NOT MET";
  });
  std::printf("\n%s\n", allMet ? "every target met" : "some targets NOT met (see above)");
  return 0;
}
