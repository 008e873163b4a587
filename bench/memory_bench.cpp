// Memory over a long run: 1,000,000 status exchanges (poll, answer, log) through the real worker
// pass and console window services; resident memory may grow by less than 1 MiB from the
// 10,000th exchange to the last.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_support.h"
#include "engine/port_control.h"
#include "engine/worker_loop.h"
#include "ui/console/console_window_services.h"

namespace {

using namespace tarvik;

constexpr int kEarly = 10000;
constexpr int kExchanges = 1000000;
constexpr double kLimitKiB = 1024;

void BM_StatusExchangeMemory(benchmark::State& state) {
  std::FILE* out = std::fopen("/dev/null", "w");
  console::ConsoleWindowServices services(out, out);
  bench::AnsweringLink link;
  bench::NoWaitClock clock;
  Engine engine{services, link, clock};
  services.Attach(&engine);
  WorkerStartUp(engine);
  long early = 0;
  long last = 0;
  for (auto _ : state) {
    for (int i = 1; i <= kExchanges; ++i) {
      // The polling timer's expiry queues the request; the pass answers the last one and sends.
      HandleTimer(engine, kPollingTimer);
      WorkerCycle(engine);
      if (i == kEarly) early = bench::ResidentKiB();
    }
    last = bench::ResidentKiB();
  }
  state.counters["rss_growth_KiB"] = static_cast<double>(last - early);
  state.counters["x_limit_1MiB"] = static_cast<double>(last - early) / kLimitKiB;
  state.counters["box_chars"] = static_cast<double>(services.GetLogText().size());
  state.counters["exchanges_per_s"] =
      benchmark::Counter(kExchanges, benchmark::Counter::kIsIterationInvariantRate);
  std::fclose(out);
}
BENCHMARK(BM_StatusExchangeMemory)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
