// The console's log: every entry goes to standard output at once (a script reads it as it comes)
// and into the bounded box behind GetLogText. 100,000 "Binary and Full" entries, each below
// 1 µs amortised, the box no larger than its limit, no memory growth.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "bench_support.h"
#include "ui/console/console_window_services.h"

namespace {

using namespace tarvik;

constexpr int kEntries = 100000;
constexpr double kLimitUs = 1.0;

void BM_ConsoleLogEntries(benchmark::State& state) {
  std::FILE* out = std::fopen("/dev/null", "w");
  console::ConsoleWindowServices services(out, out);
  const std::string entry = bench::StatusLogEntry();
  const long residentBefore = bench::ResidentKiB();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kEntries; ++i) services.AppendLogText(entry);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  const double perEntryUs = seconds * 1e6 / kEntries;
  state.counters["entry_us"] = perEntryUs;
  state.counters["x_limit_1us"] = perEntryUs / kLimitUs;
  state.counters["box_chars"] = static_cast<double>(services.GetLogText().size());
  state.counters["box_limit"] = static_cast<double>(kLogBoxLimit);
  state.counters["rss_growth_KiB"] = static_cast<double>(bench::ResidentKiB() - residentBefore);
  std::fclose(out);
}
BENCHMARK(BM_ConsoleLogEntries)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
