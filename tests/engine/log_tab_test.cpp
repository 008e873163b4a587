#include "engine/log_tab.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "engine/comm_log.h"
#include "engine/main_window_operations.h"
#include "support/fake_window_services.h"
#include "support/scratch_dir.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

namespace fs = std::filesystem;

// One operator step on the Log tab (or beside it) and what the tab shows afterwards.
struct Step {
  enum class Do { Browse, Cancel, Press, Log, Exit } action;
  std::string arg;  // Browse: a file name in the test's directory; Log: the line's text
  std::string buttonText;
  bool buttonEnabled;
  bool recording;       // a log file is open
  std::string message;  // the box the step showed, empty for none
};

struct LogTabCase {
  const char* name;
  std::vector<Step> steps;
  std::map<std::string, std::string> files;  // what each file holds at the end
};

void PrintTo(const LogTabCase& c, std::ostream* os) { *os << c.name; }

using Do = Step::Do;
const std::string kStillClosed = "Message [!]: A log file has still been closed.\n";
const std::string kCloseFirst = "Message: Close log file before exiting the program.";

class LogTabTest : public ::testing::TestWithParam<LogTabCase> {
 protected:
  LogTabTest() {
    // As the worker does when it starts.
    engine.state.logRecordingStopped = 1;
    engine.state.displayMode = kDisplayTextLimited;
  }
  ~LogTabTest() override { CloseLogFile(engine); }

  void Log(const std::string& text) {
    engine.tx = FrameLogRecord{};
    std::memcpy(engine.tx.logText.data(), text.data(), text.size());
    LogTransmittedFrame(engine);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing::ScratchDir scratch{"logtab"};
  const fs::path dir = scratch.Path();
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  LogTabState tab;
};

TEST_P(LogTabTest, ButtonFileAndMessagesFollowTheSteps) {
  EXPECT_EQ(LogButtonText(engine), "Start");
  EXPECT_FALSE(tab.buttonEnabled);
  int index = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    ui.ClearCalls();
    switch (step.action) {
      case Do::Browse:
        BrowseLogFile(engine, tab, (dir / step.arg).string());
        EXPECT_EQ(tab.pathField, (dir / step.arg).string());
        break;
      case Do::Cancel:
        BrowseLogFile(engine, tab, std::nullopt);
        EXPECT_EQ(tab.pathField, "");
        break;
      case Do::Press:
        PressLogButton(engine, tab);
        break;
      case Do::Log:
        Log(step.arg);
        break;
      case Do::Exit:
        EXPECT_EQ(ConfirmExit(engine), step.message.empty());
        break;
    }
    EXPECT_EQ(LogButtonText(engine), step.buttonText);
    EXPECT_EQ(engine.state.logRecordingStopped, step.buttonText == "Start" ? 1 : 0);
    EXPECT_EQ(tab.buttonEnabled, step.buttonEnabled);
    EXPECT_EQ(IsLogFileOpen(engine), step.recording);
    const std::vector<std::string> messages = ui.CallsStartingWith("Message");
    if (step.message.empty()) {
      EXPECT_TRUE(messages.empty()) << messages.front();
    } else {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].substr(0, step.message.size()), step.message);
    }
  }
  for (const auto& [name, text] : GetParam().files) EXPECT_EQ(Read(name), text) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, LogTabTest,
    ::testing::Values(
        // Start, Stop, Start on one file: both recordings, one after the other; nothing is
        // recorded between them.
        LogTabCase{"StartStopStartAppends",
                   {{Do::Browse, "a.log", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Log, "FIRST", "Stop", true, true, ""},
                    {Do::Press, "", "Start", true, false, ""},
                    {Do::Log, "BETWEEN", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Log, "SECOND", "Stop", true, true, ""},
                    {Do::Press, "", "Start", true, false, ""}},
                   {{"a.log", "FIRST --->\nSECOND --->\n"}}},
        // A new file while recording closes the old one at once; the next press only turns the
        // button back, and the press after that opens the new file.
        LogTabCase{"NewFileWhileRecording",
                   {{Do::Browse, "a.log", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Log, "ONE", "Stop", true, true, ""},
                    {Do::Browse, "b.log", "Stop", true, false, ""},
                    {Do::Log, "LOST", "Stop", true, false, ""},
                    {Do::Press, "", "Start", true, false, kStillClosed},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Log, "TWO", "Stop", true, true, ""},
                    {Do::Press, "", "Start", true, false, ""}},
                   {{"a.log", "ONE --->\n"}, {"b.log", "TWO --->\n"}}},
        // Exit is refused while a recording runs, and allowed once it is stopped.
        LogTabCase{"ExitRefusedWhileRecording",
                   {{Do::Browse, "a.log", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Exit, "", "Stop", true, true, kCloseFirst},
                    {Do::Log, "STILL", "Stop", true, true, ""},
                    {Do::Press, "", "Start", true, false, ""}},
                   {{"a.log", "STILL --->\n"}}},
        // A file that cannot be opened: the box, the button reads "Stop" all the same, and the
        // next press says the file is closed.
        LogTabCase{"UnwritablePath",
                   {{Do::Browse, "missing/a.log", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, false, "Message [!]: File Open Error!\n"},
                    {Do::Log, "NOWHERE", "Stop", true, false, ""},
                    {Do::Press, "", "Start", true, false, kStillClosed}},
                   {}},
        // A cancelled Browse disables the button and leaves a recording running; a later
        // choice closes the file and enables the button again.
        LogTabCase{"CancelledBrowse",
                   {{Do::Cancel, "", "Start", false, false, ""},
                    {Do::Browse, "a.log", "Start", true, false, ""},
                    {Do::Press, "", "Stop", true, true, ""},
                    {Do::Cancel, "", "Stop", false, true, ""},
                    {Do::Log, "KEPT", "Stop", false, true, ""},
                    {Do::Browse, "b.log", "Stop", true, false, ""}},
                   {{"a.log", "KEPT --->\n"}}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(LogTabOpenErrorTest, NamesTheFileAndTheReason) {
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  engine.state.logRecordingStopped = 1;
  LogTabState tab;
  const std::string path = ::testing::TempDir() + "no-such-directory/comm.log";
  BrowseLogFile(engine, tab, path);
  PressLogButton(engine, tab);
  EXPECT_EQ(ui.CallsStartingWith("Message"),
            std::vector<std::string>{"Message [!]: File Open Error!\n" + path +
                                     ": No such file or directory\n"});
}

}  // namespace
}  // namespace tarvik
