#include "transport/low_latency.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pty_pair.h"
#include "support/scratch_dir.h"

namespace tarvik {
namespace {

using testing::ScratchDir;

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

// A pseudo-terminal has no low-latency flag; an adapter's latency_timer is played by a file in
// a sysfs tree of the test's own, named after the pty's device.
TEST(LowLatency, UsesTheLatencyTimerWhereTheDriverHasNoFlagAndPutsItBack) {
  const struct {
    const char* name;
    const char* timer;  // nullptr: no latency_timer
    const char* report;
    const char* whileOpen;
  } cases[] = {
      {"no flag, no timer", nullptr, "not supported by this device (TIOCGSERIAL: ", nullptr},
      {"a default timer", "16", "latency timer 16 ms -> 1 ms", "1"},
      {"already short", "1", "already on", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const ScratchDir scratch("low-latency");
    const std::filesystem::path& root = scratch.Path();
    const std::filesystem::path device =
        root / "sys/class/tty" / std::filesystem::path(pty.SlavePath()).filename() / "device";
    std::filesystem::create_directories(device);
    if (c.timer != nullptr) std::ofstream(device / "latency_timer") << c.timer << "\n";

    std::string report;
    const LowLatencyChange change = EnterLowLatency(pty.Slave(), pty.SlavePath(), root, report);
    EXPECT_NE(report.find(c.report), std::string::npos) << report;
    if (c.whileOpen != nullptr) {
      EXPECT_EQ(FileText(device / "latency_timer"), c.whileOpen);
    }

    EXPECT_EQ(LeaveLowLatency(pty.Slave(), change), "");
    if (c.timer != nullptr) {
      EXPECT_EQ(FileText(device / "latency_timer"), c.timer) << "put back";
    }
  }
}

// A fatal signal ends the process without a close: the handler puts the timer back itself, and
// only what no close has put back yet.
TEST(LowLatency, AFatalSignalPutsTheLatencyTimerBack) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  const ScratchDir scratch("low-latency-signal");
  const std::filesystem::path& root = scratch.Path();
  const std::filesystem::path device =
      root / "sys/class/tty" / std::filesystem::path(pty.SlavePath()).filename() / "device";
  std::filesystem::create_directories(device);
  std::ofstream(device / "latency_timer") << "16\n";

  std::string report;
  const LowLatencyChange change = EnterLowLatency(pty.Slave(), pty.SlavePath(), root, report);
  ASSERT_EQ(FileText(device / "latency_timer"), "1");
  UndoLowLatencyForSignal();
  EXPECT_EQ(FileText(device / "latency_timer"), "16");

  // After a close there is nothing left for a signal to undo.
  EnterLowLatency(pty.Slave(), pty.SlavePath(), root, report);
  EXPECT_EQ(LeaveLowLatency(pty.Slave(), change), "");
  std::ofstream(device / "latency_timer") << "5\n";
  UndoLowLatencyForSignal();
  EXPECT_EQ(FileText(device / "latency_timer"), "5");
}

}  // namespace
}  // namespace tarvik
