// Run statistics are collected on every frame sent and received; one exchange (a command out,
// its answer in) must cost a small fraction of the receive itself, so keeping them never shows.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>

#include "engine/run_statistics.h"

namespace {

using namespace tarvik;

void BM_StatisticsExchange(benchmark::State& state) {
  RunStatistics statistics;
  const std::array<std::uint8_t, 5> idling{0xFC, 0x05, 0x11, 0x27, 0x56};
  auto now = std::chrono::steady_clock::now();
  for (auto _ : state) {
    statistics.CommandSent(0x11, now);
    now += std::chrono::microseconds(300);
    statistics.FrameReceived(idling, now);
  }
  benchmark::DoNotOptimize(statistics.Snapshot().commands.size());
}
BENCHMARK(BM_StatisticsExchange);

}  // namespace
