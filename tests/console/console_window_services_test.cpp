#include "ui/console/console_window_services.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>

#include <cstdio>
#include <string>

#include "engine/operating_modes.h"
#include "support/fake_window_services.h"

namespace tarvik::console {
namespace {

using std::chrono::milliseconds;
using tarvik::testing::FakeClock;
using tarvik::testing::FakeSerialLink;

// The services over two temporary files standing for standard output and standard error.
class ConsoleWindowServicesTest : public ::testing::Test {
 protected:
  ConsoleWindowServicesTest() { services.Attach(&engine); }
  ~ConsoleWindowServicesTest() override {
    std::fclose(log);
    std::fclose(effects);
  }

  static std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
    return text;
  }

  // Milliseconds until the timer descriptor fires; 0 while it is disarmed.
  long long ArmedMs() {
    itimerspec due{};
    EXPECT_EQ(::timerfd_gettime(services.TimerDescriptor(), &due), 0);
    return due.it_value.tv_sec * 1000 + due.it_value.tv_nsec / 1000000;
  }

  std::FILE* log = std::tmpfile();
  std::FILE* effects = std::tmpfile();
  ConsoleWindowServices services{log, effects};
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{services, link, clock};
};

TEST_F(ConsoleWindowServicesTest, TheLogGoesOutInItsFileForm) {
  services.AppendLogText("RESET COMMAND --->\r\n[FC 05 40 2B 15]\r\n");
  services.AppendLogText("              <--- ACK\r\n");
  EXPECT_EQ(Contents(log), "RESET COMMAND --->\n[FC 05 40 2B 15]\n              <--- ACK\n");
  EXPECT_EQ(Contents(effects), "");
  // The box keeps its own form, and emptying it takes nothing back from the output.
  EXPECT_EQ(services.GetLogText(),
            "RESET COMMAND --->\r\n[FC 05 40 2B 15]\r\n              <--- ACK\r\n");
  services.ClearLogBox();
  EXPECT_EQ(services.GetLogText(), "");
  EXPECT_EQ(Contents(log), "RESET COMMAND --->\n[FC 05 40 2B 15]\n              <--- ACK\n");
}

TEST_F(ConsoleWindowServicesTest, EveryOtherEffectIsOneLineOnTheSecondStream) {
  services.ShowCommStatus("OK");
  services.ShowCommStatus("OK");  // unchanged: no line
  services.ShowValidatorStatus("Enable");
  services.ShowValidatorStatus("Enable");
  services.ShowCommStatus("Rx Time Out");
  services.ShowVersion("V1");
  services.ShowVersion("V1");  // other fields show every write
  services.ShowMachineNumber("AB 12");
  services.ShowSettingValue(SettingField::Disable, "00 12");
  services.SetLabelText(Label::DeviceAddress, "240");
  services.ShowMessage("ERROR \n");
  services.ShowMessage("Error : Not a number.", MessageIcon::None, MessageButtons::Ok,
                       "Polling Duration");
  services.ShowMessage("File Open Error!\n/x/a.log: No such file or directory\n",
                       MessageIcon::Exclamation);
  services.SetQuestionHandler([](std::string_view) { return MessageResult::No; });
  EXPECT_EQ(services.ShowMessage("Go on?", MessageIcon::Question, MessageButtons::YesNo),
            MessageResult::No);
  services.EnableDownloadButton(DownloadButton::Global, false);
  services.Note("unknown command");

  EXPECT_EQ(Contents(effects),
            "FIELD Comminucation Status: OK\n"
            "FIELD Validator Status: Enable\n"
            "FIELD Comminucation Status: Rx Time Out\n"
            "FIELD Version: V1\n"
            "FIELD Version: V1\n"
            "FIELD Machine No.: AB 12\n"
            "FIELD Disable: 00 12\n"
            "LABEL Device Address: 240\n"
            "MESSAGE: ERROR \n"
            "MESSAGE [Polling Duration]: Error : Not a number.\n"
            "MESSAGE: File Open Error! /x/a.log: No such file or directory\n"
            "QUESTION: Go on? -> No\n"
            "BUTTON Global Download: off\n"
            "CONSOLE: unknown command\n");
  EXPECT_EQ(Contents(log), "");
}

TEST_F(ConsoleWindowServicesTest, LabelsStartAsTheWindowShowsThem) {
  // The Stack Mode button advances from the label's text, so it must start as the window's.
  ChangeStackMode(engine);
  EXPECT_EQ(services.GetLabelText(Label::StackMode), "[ Stack2 ]");
  EXPECT_EQ(services.GetLabelText(Label::AckMode), "AUTO");
  EXPECT_EQ(services.GetLabelText(Label::PollingMode), "[ AUTO ]");
  EXPECT_EQ(services.GetLabelText(Label::DisplayMode), "Binary and Full");
}

TEST_F(ConsoleWindowServicesTest, TimersFireOnTheLoopThatAsks) {
  const auto start = ConsoleWindowServices::SteadyClock::now();
  EXPECT_EQ(ArmedMs(), 0) << "no timer runs";
  services.StartTimer(kPollingTimer, 200);
  services.StartTimer(kResponseTimer, 300);
  services.StopTimer(kResponseTimer);
  services.StopTimer(kDownloadTimer);  // not running: nothing happens
  const long long left = ArmedMs();
  EXPECT_GT(left, 150);
  EXPECT_LE(left, 200);

  services.FireDueTimers(start);  // nothing is due yet
  EXPECT_EQ(engine.state.commandQueued, 0);

  // Due: the polling decision runs here and queues a status request; the stopped timer 3
  // never sets the time-out flag.
  services.FireDueTimers(start + milliseconds(1000));
  std::uint8_t code = 0;
  ASSERT_TRUE(PeekQueuedCommand(engine, code));
  EXPECT_EQ(code, 0x11);
  EXPECT_EQ(engine.state.responseTimedOut, 0);
  // HandleTimer restarted the polling timer with its period.
  EXPECT_GT(ArmedMs(), 150);

  // Timer 3 stops itself when it expires: it fires once.
  services.StartTimer(kResponseTimer, 300);
  services.StopTimer(kPollingTimer);
  services.FireDueTimers(start + milliseconds(10000));
  EXPECT_EQ(engine.state.responseTimedOut, 1);
  engine.state.responseTimedOut = 0;
  services.FireDueTimers(start + milliseconds(20000));
  EXPECT_EQ(engine.state.responseTimedOut, 0);
  EXPECT_EQ(ArmedMs(), 0) << "no timer runs";
}

// The loop sleeps on one timerfd: it is armed for the earliest running timer, follows every start
// and stop, and is disarmed when no timer runs, so an idle console has nothing to wake it.
TEST_F(ConsoleWindowServicesTest, TheTimerDescriptorIsArmedForTheEarliestTimer) {
  EXPECT_EQ(ArmedMs(), 0) << "disarmed at first";
  services.StartTimer(kPollingTimer, 10000);
  EXPECT_GT(ArmedMs(), 9000);
  services.StartTimer(kResponseTimer, 300);
  EXPECT_GT(ArmedMs(), 0);
  EXPECT_LE(ArmedMs(), 300);
  services.StopTimer(kResponseTimer);
  EXPECT_GT(ArmedMs(), 9000) << "back to the polling timer";
  services.StopTimer(kPollingTimer);
  EXPECT_EQ(ArmedMs(), 0);

  // A due timer makes the descriptor readable; firing it clears that and arms the next period.
  services.StartTimer(kResponseTimer, 1);
  pollfd fd{services.TimerDescriptor(), POLLIN, 0};
  ASSERT_EQ(::poll(&fd, 1, 5000), 1);
  services.FireDueTimers(ConsoleWindowServices::SteadyClock::now());
  EXPECT_EQ(engine.state.responseTimedOut, 1);
  EXPECT_EQ(::poll(&fd, 1, 0), 0);
  EXPECT_EQ(ArmedMs(), 0) << "timer 3 stopped itself";
}

}  // namespace
}  // namespace tarvik::console
