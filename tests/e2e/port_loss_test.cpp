// End-to-end: the validator's device goes away under a polling host and comes back behind the
// same path, with the host on the console and in the window (offscreen).
#include <iterator>
#include <sstream>

#include "e2e/host_run_fixture.h"

namespace {

using namespace tarvik::e2e;

// CPU time (user and system) the process `pid` has used so far, in milliseconds; -1 if unknown.
long long CpuMs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
  // The command name in parentheses may hold blanks; the fields counted here follow it.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  // Fields 3 to 15 of the line: state ... utime (14) stime (15).
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoll(field);
    if (index == 15) stime = std::stoll(field);
  }
  return (utime + stime) * 1000 / ::sysconf(_SC_CLK_TCK);
}

enum class FrontEnd { Console, Window };

void PrintTo(FrontEnd f, std::ostream* os) {
  *os << (f == FrontEnd::Console ? "Console" : "Window");
}

// The validator's pseudo-terminal closes mid-polling, as an unplugged adapter would, and a new
// one appears behind the same path (a symlink, as a udev name is). The host shows the loss,
// sleeps instead of spinning, and resumes polling on its own.
class PortLossTest : public HostRunTest, public ::testing::WithParamInterface<FrontEnd> {
 protected:
  // Points the host's device path at `target` in one step.
  ::testing::AssertionResult PointDeviceAt(const std::string& target) {
    const std::filesystem::path fresh = device_.string() + ".new";
    std::error_code error;
    std::filesystem::remove(fresh, error);
    std::filesystem::create_symlink(target, fresh, error);
    if (!error) std::filesystem::rename(fresh, device_, error);
    if (error) return ::testing::AssertionFailure() << error.message();
    return ::testing::AssertionSuccess();
  }

  // Until the validator has seen `count` status requests after trace line `from`.
  bool WaitForPolls(std::size_t count, std::size_t from) {
    return host_.WaitUntil([&] { return TraceCount("RX FC 05 11", from) >= count; });
  }

  const std::filesystem::path device_ = dir_ / "ttyValidator";
};

TEST_P(PortLossTest, TheHostShowsTheLossSleepsAndReopensTheSameDevice) {
  const bool console = GetParam() == FrontEnd::Console;
  RunnerOptions options = ValidatorOptions();
  options.startIdle = true;
  ASSERT_TRUE(validator_.Start(options));
  ASSERT_TRUE(PointDeviceAt(validator_.SlavePath()));
  if (console) {
    ASSERT_TRUE(StartHost({"--device", device_.string()}));
  } else {
    ASSERT_TRUE(host_.Start({"--device", device_.string(), "--settings", settings_},
                            {"QT_QPA_PLATFORM=offscreen"}));
  }
  ASSERT_TRUE(WaitForPolls(3, 0)) << "the host did not poll";

  // Unplugged, the device's name goes with it. (A pseudo-terminal's own name would soon be
  // reused by another one, which this host must not take for its validator.)
  validator_.Stop();
  ASSERT_TRUE(PointDeviceAt((dir_ / "unplugged").string()));
  if (console) {
    ASSERT_TRUE(WaitForErr("FIELD Comminucation Status: Port lost\n"));
    EXPECT_TRUE(WaitForErr("FIELD Validator Status: \n"));
    EXPECT_TRUE(WaitForLog("Port lost: COM1 (" + device_.string() + ") went away."));
  }

  // The window shows nothing outside: it is given the time to take the loss in first.
  if (!console) host_.ReadFor(500);

  // Lost: a key sends nothing and logs nothing, and the host sleeps.
  const std::size_t logBefore = host_.Out().size();
  host_.Type("S");
  const long long cpuBefore = CpuMs(host_.Pid());
  host_.ReadFor(2000);
  const long long cpuMs = CpuMs(host_.Pid()) - cpuBefore;
  ASSERT_GE(cpuBefore, 0);
  EXPECT_LT(cpuMs, 40) << "more than 2 % of a core over 2 s while the port is lost";
  if (console) {
    // Why it is not back is said once, not at every attempt.
    EXPECT_EQ(Count(host_.Err(), "tarvik-host: COM1 (" + device_.string() + ") is not back yet: "),
              1u)
        << host_.Err();
    const std::string lost = host_.Out().substr(logBefore);
    EXPECT_EQ(lost.find("--->"), std::string::npos) << lost;
    EXPECT_EQ(lost.find("Timeout"), std::string::npos) << lost;
  }

  // Back on the same path: polling resumes within two seconds.
  ASSERT_TRUE(validator_.Start(options));
  const std::size_t traceFrom = TraceSize();
  ASSERT_TRUE(PointDeviceAt(validator_.SlavePath()));
  const auto back = SteadyClock::now();
  ASSERT_TRUE(WaitForPolls(1, traceFrom)) << "polling did not resume";
  EXPECT_LT(SteadyClock::now() - back, std::chrono::seconds(2));
  if (console) {
    const std::string reopened =
        "Port reopened: COM1 (" + device_.string() + "). Polling resumes.\n";
    ASSERT_TRUE(WaitForLog(reopened));
    EXPECT_TRUE(WaitForLog(ReceivedText("IDLING"), 1, host_.Out().find(reopened)));
    EXPECT_TRUE(WaitForErr("FIELD Comminucation Status: OK\n"));
    ExpectCleanExit();
  }
}

INSTANTIATE_TEST_SUITE_P(HostValidator, PortLossTest,
                         ::testing::Values(FrontEnd::Console, FrontEnd::Window),
                         [](const auto& param) {
                           return std::string(param.param == FrontEnd::Console ? "Console"
                                                                               : "Window");
                         });

}  // namespace
