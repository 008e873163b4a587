#include "validator/validator_runner.h"

#include <gtest/gtest.h>
#include <pty.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "pty_host.h"

namespace tarvik::validator {
namespace {

using testing::PtyHost;

// The trace is written on the runner thread and read on the test's.
class TraceLog {
 public:
  VirtualValidator::TraceSink Sink() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    };
  }
  bool Contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const std::string& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

TEST(RunnerTest, ServesAHostOnANewPty) {
  TraceLog trace;
  VirtualValidatorRunner runner;
  RunnerOptions options;
  options.trace = trace.Sink();
  std::string error;
  ASSERT_TRUE(runner.Start(options, &error)) << error;
  PtyHost host;
  ASSERT_TRUE(host.Open(runner.SlavePath())) << runner.SlavePath();

  EXPECT_EQ(host.Exchange(0x11), "40");
  EXPECT_EQ(host.Exchange(0x40), "50");
  EXPECT_EQ(host.Exchange(0x11), "1B");
  EXPECT_FALSE(runner.Command("insert 61").ok) << "not idling while initializing";
  EXPECT_FALSE(runner.Command("frobnicate").ok);
  ASSERT_TRUE(runner.Command("powercycle stacker").ok);
  EXPECT_EQ(host.Exchange(0x11), "42");
  ASSERT_TRUE(runner.Command("enq").ok);
  EXPECT_EQ(host.Receive(), "05");
  // Two frames in one write are both answered, in order.
  auto two = testing::HostFrame(0x83);
  const auto more = testing::HostFrame(0x45);
  two.insert(two.end(), more.begin(), more.end());
  ASSERT_TRUE(host.Send(two));
  EXPECT_EQ(host.Receive(2), "83 00 | 50");
  EXPECT_TRUE(trace.Contains("RX FC 05 11 27 56  STATUS REQUEST"));
  EXPECT_TRUE(trace.Contains("TX FC 05 40 2B 15  POWERUP"));

  const std::string path = runner.SlavePath();
  runner.Stop();
  runner.Stop();
  EXPECT_FALSE(runner.Command("enq").ok);
  EXPECT_FALSE(runner.Running());
  PtyHost late;
  EXPECT_FALSE(late.Open(path)) << "the pty goes away with the validator";
}

// The host may close the line and open it again; the validator goes on serving, and a line with
// no host at all does not stop it.
TEST(RunnerTest, HostClosesAndReopensTheLine) {
  VirtualValidatorRunner runner;
  ASSERT_TRUE(runner.Start({}));
  {
    PtyHost host;
    ASSERT_TRUE(host.Open(runner.SlavePath()));
    EXPECT_EQ(host.Exchange(0x11), "40");
  }
  EXPECT_TRUE(runner.Command("show").ok) << "still serving with no host on the line";
  PtyHost host;
  ASSERT_TRUE(host.Open(runner.SlavePath()));
  EXPECT_EQ(host.Exchange(0x83), "83 00");
}

// A serial device given by path, here the slave of a pty the test made: the line keeps no
// parity, which the runner reports and accepts. Pacing sends the bytes one by one.
TEST(RunnerTest, DeviceByPathWithPacing) {
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  PtyHost host(master);
  termios tio{};
  ::tcgetattr(master, &tio);
  cfmakeraw(&tio);
  ::tcsetattr(master, TCSANOW, &tio);
  ::fcntl(master, F_SETFL, O_NONBLOCK);

  VirtualValidatorRunner runner;
  RunnerOptions options;
  options.devicePath = name;
  options.baud = 38400;
  options.pace = true;
  std::string error;
  std::string warning;
  ASSERT_TRUE(runner.Start(options, &error, &warning)) << error;
  EXPECT_NE(warning.find("parity"), std::string::npos) << warning;
  EXPECT_EQ(runner.SlavePath(), name);
  const std::string version = host.Exchange(0x88);
  EXPECT_TRUE(version.starts_with("88 ")) << version;
}

// Commands from several threads while the host talks, and a stop while commands still come:
// every command gets a reply, none after the stop is taken, and nothing hangs.
TEST(RunnerTest, CommandsFromManyThreadsAndAStopAmongThem) {
  VirtualValidatorRunner runner;
  ASSERT_TRUE(runner.Start({}));
  PtyHost host;
  ASSERT_TRUE(host.Open(runner.SlavePath()));
  // `stopping` is raised just before Stop and `stopped` just after it, so a command that ends
  // before the first was certainly served and one that starts after the second was certainly not.
  std::atomic<bool> stopping{false};
  std::atomic<bool> stopped{false};
  std::atomic<int> refusedBeforeStop{0};
  std::atomic<int> takenAfterStop{0};
  std::vector<std::thread> operators;
  for (int t = 0; t < 3; ++t) {
    operators.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        const bool startedAfterStop = stopped.load();
        const CommandReply reply = runner.Command("show");
        if (!reply.ok && !stopping.load()) ++refusedBeforeStop;
        if (reply.ok && startedAfterStop) ++takenAfterStop;
      }
    });
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(host.Exchange(0x11), "40");
  stopping = true;
  runner.Stop();
  stopped = true;
  for (std::thread& t : operators) t.join();
  EXPECT_EQ(refusedBeforeStop.load(), 0);
  EXPECT_EQ(takenAfterStop.load(), 0);
}

TEST(RunnerTest, MissingDeviceIsReported) {
  VirtualValidatorRunner runner;
  RunnerOptions options;
  options.devicePath = "/nonexistent/ttyV0";
  std::string error;
  EXPECT_FALSE(runner.Start(options, &error));
  EXPECT_NE(error.find("/nonexistent/ttyV0"), std::string::npos) << error;
  EXPECT_FALSE(runner.Command("enq").ok);
}

}  // namespace
}  // namespace tarvik::validator
