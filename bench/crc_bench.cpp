// CRC-16 throughput: every frame is checked once, and a target file's CRC covers up to 1 MiB.
#include <benchmark/benchmark.h>

#include <vector>

#include "protocol/frame.h"

namespace {

void BM_CalcCrc(benchmark::State& state) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31);
  for (auto _ : state) benchmark::DoNotOptimize(tarvik::CalcCrc(bytes.data(), bytes.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CalcCrc)->Arg(5)->Arg(255)->Arg(1 << 20);

}  // namespace
