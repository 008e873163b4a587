// The window's log: 100,000 "Binary and Full" entries written from another thread, as the worker
// writes them, into the log box through the window services, the window thread serving its event
// loop meanwhile. Below 20 µs each amortised, the box no larger than its limit, no memory growth.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "bench_support.h"
#include "ui/qt/log_box.h"
#include "ui/qt/qt_window_services.h"

namespace {

using namespace tarvik;

constexpr int kEntries = 100000;
constexpr double kLimitUs = 20.0;

void BM_QtLogEntries(benchmark::State& state) {
  qt::QtWindowServices services;
  qt::LogBox box;
  box.resize(640, 400);
  box.show();
  services.BindLogBox(&box);
  const std::string entry = bench::StatusLogEntry();
  const std::string last = "LAST ENTRY\r\n";
  // Growth is counted from the end of the first run: it pays for the fonts and caches the box
  // builds once.
  long residentAfterFirst = 0;
  double seconds = 0;
  for (auto _ : state) {
    if (residentAfterFirst == 0 && seconds > 0) residentAfterFirst = bench::ResidentKiB();
    box.Clear();
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> written{false};
    std::thread worker([&] {
      for (int i = 0; i < kEntries; ++i) services.AppendLogText(entry);
      services.AppendLogText(last);
      written.store(true);
    });
    // The window thread runs its event loop until the last entry is in the box.
    for (;;) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      if (written.load()) {
        QCoreApplication::processEvents();
        const std::string text = box.Text();
        if (text.size() >= last.size() &&
            text.compare(text.size() - last.size(), last.size(), last) == 0) {
          break;
        }
      }
    }
    worker.join();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
  }
  const double perEntryUs = seconds * 1e6 / kEntries;
  state.counters["entry_us"] = perEntryUs;
  state.counters["x_limit_20us"] = perEntryUs / kLimitUs;
  state.counters["box_chars"] = static_cast<double>(box.CharacterCount());
  state.counters["box_limit"] = static_cast<double>(kLogBoxLimit);
  state.counters["rss_growth_KiB"] = static_cast<double>(bench::ResidentKiB() - residentAfterFirst);
}
BENCHMARK(BM_QtLogEntries)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
