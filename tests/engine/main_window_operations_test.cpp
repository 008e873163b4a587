#include "engine/main_window_operations.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/comm_log.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

class MainWindowOperationsTest : public ::testing::Test {
 protected:
  MainWindowOperationsTest() { ui.Attach(&engine); }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_F(MainWindowOperationsTest, ExitDecisions) {
  const struct {
    const char* name;
    bool portOpen;
    int globalDownload;
    int awaiting;
    MessageResult answer;
    bool mayEnd;
    const char* lastMessage;
  } cases[] = {
      {"answered No", true, 0, 0, MessageResult::No, false, kExitQuestion.data()},
      {"port closed", false, 0, 0, MessageResult::Yes, true, kExitQuestion.data()},
      {"port open and idle", true, 0, 0, MessageResult::Yes, true, kExitQuestion.data()},
      {"global download", true, 1, 0, MessageResult::Yes, false,
       "You can not close the COM port until download is completed."},
      {"open transaction", true, 0, 1, MessageResult::Yes, false,
       "You can not close the COM port until the current transaction is completed."},
  };
  for (const auto& c : cases) {
    FakeWindowServices caseUi;
    FakeSerialLink caseLink;
    FakeClock caseClock;
    Engine e{caseUi, caseLink, caseClock};
    if (c.portOpen) {
      caseLink.Open(1, 9600);
      e.state.portOpen = 1;
    }
    e.state.globalDownloadActive = c.globalDownload;
    e.state.awaitingResponse = c.awaiting;
    caseUi.QueueAnswer(c.answer);

    EXPECT_EQ(ConfirmExit(e), c.mayEnd) << c.name;
    ASSERT_FALSE(caseUi.Messages().empty()) << c.name;
    EXPECT_EQ(caseUi.Messages().back(), c.lastMessage) << c.name;
    // A refused exit leaves the line as it was; an accepted one has closed it.
    EXPECT_EQ(caseLink.IsOpen(), c.portOpen && !c.mayEnd) << c.name;
  }
}

TEST_F(MainWindowOperationsTest, ExitIsRefusedWhileALogFileIsRecorded) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("tarvik_exit_" + std::to_string(::getpid()) + ".log");
  ASSERT_TRUE(OpenLogFile(engine, path.string()));
  EXPECT_FALSE(ConfirmExit(engine));
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{std::string(kCloseLogFirst)});
  CloseLogFile(engine);
  std::filesystem::remove(path);
}

TEST_F(MainWindowOperationsTest, PollForcesTheNextStatusIntoTheLog) {
  engine.state.lastStatus = 1;
  engine.state.statusChanged = 0;
  PressPollButton(engine);
  EXPECT_EQ(engine.state.lastStatus, 0);
  EXPECT_EQ(engine.state.statusChanged, 1);
  EXPECT_EQ(TakePendingCommand(engine), 'S');
}

TEST_F(MainWindowOperationsTest, ChangeButtonPostsOnlyAnAcceptedValue) {
  const ValueBox& inhibit = *FindValueBox(0xC3);
  EXPECT_FALSE(PressChangeButton(engine, inhibit, "1G"));
  EXPECT_EQ(TakePendingCommand(engine), 0);
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{"An inaccurate character was contained."});
  EXPECT_TRUE(PressChangeButton(engine, inhibit, "01"));
  EXPECT_EQ(engine.commandValue, 0x01u);
  EXPECT_EQ(TakePendingCommand(engine), 'i');
}

}  // namespace
}  // namespace tarvik
