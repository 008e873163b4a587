// The receiver runs on every pass of the worker, mostly on an idle line; a frame's
// receive must cost little beside the line time. Measured with seams that do no work of their
// own, so the figures are the receiver's.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "bench_support.h"
#include "engine/frame_receiver.h"

namespace {

using namespace tarvik;
using bench::NoWaitClock;
using bench::NullWindow;

// A line that replays one frame on demand, from a fixed buffer.
class ReplayLink final : public SerialLink {
 public:
  int Open(int, int) override { return 1; }
  int Close() override { return 1; }
  int Write(const std::uint8_t*, std::uint32_t count, std::uint32_t& written) override {
    written = count;
    return 1;
  }
  int Read(std::uint8_t* buffer, std::uint32_t count) override {
    if (count == 0 || size_ - at_ < count) return 0;
    std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return static_cast<int>(count);
  }
  bool IsOpen() const override { return true; }

  void Load(const std::uint8_t* bytes, std::size_t size) {
    std::memcpy(bytes_.data(), bytes, size);
    size_ = size;
    at_ = 0;
  }
  void Replay() { at_ = 0; }

 private:
  std::array<std::uint8_t, 256> bytes_{};
  std::size_t size_ = 0;
  std::size_t at_ = 0;
};

void BM_ReceiveFrameIdle(benchmark::State& state) {
  NullWindow ui;
  ReplayLink link;
  NoWaitClock clock;
  Engine engine{ui, link, clock};
  std::int32_t flag = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ReceiveFrame(engine, flag));
}
BENCHMARK(BM_ReceiveFrameIdle);

// A status frame (5 bytes) and the largest frame (255 bytes), each received whole.
void BM_ReceiveFrameComplete(benchmark::State& state) {
  NullWindow ui;
  ReplayLink link;
  NoWaitClock clock;
  Engine engine{ui, link, clock};
  const auto lng = static_cast<std::size_t>(state.range(0));
  std::array<std::uint8_t, 256> frame{};
  frame[0] = kSyncByte;
  frame[1] = static_cast<std::uint8_t>(lng);
  frame[2] = 0x11;
  AppendCrc(frame.data(), lng - 2);
  link.Load(frame.data(), lng);
  std::int32_t flag = 0;
  for (auto _ : state) {
    link.Replay();
    if (ReceiveFrame(engine, flag) != ReceiveResult::FrameReceived) {
      state.SkipWithError("frame not received");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReceiveFrameComplete)->Arg(5)->Arg(255);

}  // namespace
