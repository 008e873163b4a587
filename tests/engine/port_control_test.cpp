#include "engine/port_control.h"

#include <gtest/gtest.h>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

constexpr const char* kPortUnavailable =
    "Message: This COM port is not available. Use another COM port.";
constexpr const char* kDownloadRunning =
    "Message: You can not close the COM port until download is completed.";
constexpr const char* kTransactionOpen =
    "Message: You can not close the COM port until the current transaction is completed.";

// Notes, in one list, the timer stops and the device close with the `portOpen` each one saw.
class OrderWindow : public FakeWindowServices {
 public:
  explicit OrderWindow(std::vector<std::string>& log) : log_(log) {}
  void Watch(const Engine* engine) { engine_ = engine; }
  void StopTimer(int id) override {
    log_.push_back("StopTimer " + std::to_string(id) + " portOpen " +
                   std::to_string(engine_->state.portOpen.load()));
    FakeWindowServices::StopTimer(id);
  }

 private:
  std::vector<std::string>& log_;
  const Engine* engine_ = nullptr;
};

class OrderLink : public FakeSerialLink {
 public:
  explicit OrderLink(std::vector<std::string>& log) : log_(log) {}
  void Watch(const Engine* engine) { engine_ = engine; }
  int Close() override {
    log_.push_back("Close portOpen " + std::to_string(engine_->state.portOpen.load()));
    return FakeSerialLink::Close();
  }

 private:
  std::vector<std::string>& log_;
  const Engine* engine_ = nullptr;
};

class PortControlTest : public ::testing::Test {
 protected:
  PortControlTest() {
    ui.Attach(&engine);
    ui.Watch(&engine);
    link.Watch(&engine);
    engine.state.polling_duration = 350;
  }

  // The port open and polling, the record of calls cleared.
  void OpenPort() {
    ASSERT_TRUE(ToggleComPort(engine));
    ui.ClearCalls();
    order.clear();
  }

  std::vector<std::string> order;
  OrderWindow ui{order};
  OrderLink link{order};
  FakeClock clock;
  Engine engine{ui, link, clock};
};

struct OpenCase {
  std::int32_t comPortIndex;
  std::int32_t baudRateIndex;
  int portNumber;
  int baudRate;
};

class PortControlOpenTest : public PortControlTest,
                            public ::testing::WithParamInterface<OpenCase> {};

TEST_P(PortControlOpenTest, OpensTheConfiguredPortAndStartsPolling) {
  const OpenCase c = GetParam();
  engine.state.com_port_index = c.comPortIndex;
  engine.state.baud_rate_index = c.baudRateIndex;

  EXPECT_TRUE(ToggleComPort(engine));
  EXPECT_EQ(engine.state.portOpen, 1);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.LastPortNumber(), c.portNumber);
  EXPECT_EQ(link.LastBaudRate(), c.baudRate);
  EXPECT_EQ(ui.Calls(), std::vector<std::string>{"StartTimer 2 350"});
}

INSTANTIATE_TEST_SUITE_P(Settings, PortControlOpenTest,
                         ::testing::Values(OpenCase{0, 0, 1, 9600}, OpenCase{19, 1, 20, 19200},
                                           OpenCase{3, 2, 4, 38400}, OpenCase{0, 5, 1, 9600}));

TEST_F(PortControlTest, UnavailablePortShowsTheMessageAndStaysClosed) {
  link.RefuseOpen(true);
  EXPECT_FALSE(ToggleComPort(engine));
  EXPECT_EQ(engine.state.portOpen, 0);
  EXPECT_EQ(ui.Calls(), std::vector<std::string>{kPortUnavailable});  // OK box, no icon
  EXPECT_FALSE(ui.IsRunning(kPollingTimer));

  // The operator picks a port that works: the next attempt opens it.
  link.RefuseOpen(false);
  EXPECT_TRUE(ToggleComPort(engine));
  EXPECT_EQ(engine.state.portOpen, 1);
}

// The box keeps its one sentence; why the port did not open goes to standard error with the port.
TEST_F(PortControlTest, UnavailablePortTellsWhyOnStandardError) {
  struct Case {
    const char* reason;
    const char* expected;
  };
  const Case cases[] = {
      {"/dev/ttyUSB0: permission denied: join dialout",
       "tarvik-host: COM3 is not available: /dev/ttyUSB0: permission denied: join dialout\n"},
      {"", "tarvik-host: COM3 is not available: the device did not open\n"},
  };
  engine.state.com_port_index = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    ui.ClearCalls();
    link.RefuseOpen(true, c.reason);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ToggleComPort(engine));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.expected);
    EXPECT_EQ(ui.Calls(), std::vector<std::string>{kPortUnavailable});
  }
}

TEST_F(PortControlTest, OpenReturnsOpenPortFromSettingsResult) {
  engine.state.com_port_index = 6;
  EXPECT_EQ(OpenPortFromSettings(engine), 1);
  EXPECT_EQ(link.LastPortNumber(), 7);
  EXPECT_EQ(engine.state.portOpen, 0);  // only the toggle changes the engine's view
  link.Close();
  link.RefuseOpen(true);
  EXPECT_EQ(OpenPortFromSettings(engine), 0);
}

struct RefusalCase {
  std::int32_t globalDownloadActive;
  std::int32_t awaitingResponse;
  const char* message;
};

class PortControlRefusalTest : public PortControlTest,
                               public ::testing::WithParamInterface<RefusalCase> {};

// Closing is refused while a global download runs or an operator exchange is open; the port
// stays open and polling keeps running.
TEST_P(PortControlRefusalTest, CloseIsRefused) {
  const RefusalCase c = GetParam();
  OpenPort();
  engine.state.globalDownloadActive = c.globalDownloadActive;
  engine.state.awaitingResponse = c.awaitingResponse;

  EXPECT_FALSE(ToggleComPort(engine));
  EXPECT_EQ(ui.Calls(), std::vector<std::string>{c.message});
  EXPECT_EQ(engine.state.portOpen, 1);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_TRUE(ui.IsRunning(kPollingTimer));
  EXPECT_TRUE(order.empty());
}

INSTANTIATE_TEST_SUITE_P(Refusals, PortControlRefusalTest,
                         ::testing::Values(RefusalCase{1, 0, kDownloadRunning},
                                           RefusalCase{0, 1, kTransactionOpen},
                                           RefusalCase{1, 1, kDownloadRunning}));

TEST_F(PortControlTest, CloseClearsTheFlagBeforeStoppingTimersAndClosing) {
  OpenPort();
  ui.StartTimer(kDownloadTimer, 20000);
  ui.StartTimer(kResponseTimer, 300);

  EXPECT_TRUE(ToggleComPort(engine));
  const std::vector<std::string> expected{"StopTimer 1 portOpen 0", "StopTimer 2 portOpen 0",
                                          "StopTimer 3 portOpen 0", "Close portOpen 0"};
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(link.IsOpen());
  for (const int id : {kDownloadTimer, kPollingTimer, kResponseTimer}) {
    EXPECT_FALSE(ui.IsRunning(id)) << id;
  }
  EXPECT_TRUE(ui.Messages().empty());
}

// Properties OK: close, then open again with what the settings say now.
TEST_F(PortControlTest, ReopenUsesTheSettingsOfTheMoment) {
  OpenPort();
  engine.state.com_port_index = 4;
  engine.state.baud_rate_index = 2;
  engine.state.polling_duration = 500;
  ASSERT_TRUE(ToggleComPort(engine));
  ASSERT_TRUE(ToggleComPort(engine));
  EXPECT_EQ(link.LastPortNumber(), 5);
  EXPECT_EQ(link.LastBaudRate(), 38400);
  EXPECT_EQ(ui.PeriodOf(kPollingTimer), 500);
}

}  // namespace
}  // namespace tarvik
