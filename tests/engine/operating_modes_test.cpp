#include "engine/operating_modes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch_fixture.h"

namespace tarvik {
namespace {

using testing::DispatchFixture;
using testing::MakeFrame;

class OperatingModesTest : public DispatchFixture, public ::testing::Test {
 protected:
  OperatingModesTest() {
    engine.wakeWorker = [this] { ++wakes; };
  }
  int wakes = 0;
};

TEST_F(OperatingModesTest, StackModeButtonCyclesThroughFourModes) {
  const struct {
    const char* label;
    std::int32_t mode;
  } expected[] = {
      {"[ Stack2 ]", kStack2}, {"[ Reject ]", kStackReject}, {"[Manual]", kStackManual},
      {"[ Stack1 ]", kStack1}, {"[ Stack2 ]", kStack2},
  };
  for (const auto& e : expected) {
    ChangeStackMode(engine);
    EXPECT_EQ(ui.LabelText(Label::StackMode), e.label);
    EXPECT_EQ(GetStackMode(engine), e.mode);
  }
}

TEST_F(OperatingModesTest, StackModeButtonIgnoresAnUnknownLabel) {
  ui.SetLabelText(Label::StackMode, "[ Stack9 ]");
  ui.ClearCalls();
  ChangeStackMode(engine);
  EXPECT_EQ(ui.LabelText(Label::StackMode), "[ Stack9 ]");
  EXPECT_EQ(GetStackMode(engine), kStack1);
  EXPECT_TRUE(ui.CallsStartingWith("Label ").empty());
}

TEST_F(OperatingModesTest, AckModeButtonTogglesAndLeavesOddValuesAlone) {
  const struct {
    std::uint8_t before;
    std::uint8_t after;
    const char* label;  // "" when the label is not written
  } cases[] = {{kAckAuto, kAckManu, "MANU"}, {kAckManu, kAckAuto, "AUTO"}, {7, 7, ""}};
  for (const auto& c : cases) {
    SetAckMode(engine, c.before);
    ui.ClearCalls();
    ToggleAckMode(engine);
    EXPECT_EQ(GetAckMode(engine), c.after);
    const auto labels = ui.CallsStartingWith("Label ");
    if (*c.label == '\0') {
      EXPECT_TRUE(labels.empty());
    } else {
      EXPECT_EQ(labels, std::vector<std::string>{std::string("Label ACK Mode: ") + c.label});
    }
  }
}

TEST_F(OperatingModesTest, PollingModeButtonAndApplyPollingMode) {
  TogglePollingMode(engine);
  EXPECT_EQ(GetPollingMode(engine), kPollingManu);
  EXPECT_EQ(ui.LabelText(Label::PollingMode), "[ MANU ]");
  TogglePollingMode(engine);
  EXPECT_EQ(GetPollingMode(engine), kPollingAuto);
  EXPECT_EQ(ui.LabelText(Label::PollingMode), "[ AUTO ]");

  // Any value but 2 means AUTO.
  ApplyPollingMode(engine, 2);
  ApplyPollingMode(engine, 0);
  EXPECT_EQ(GetPollingMode(engine), kPollingAuto);
  EXPECT_EQ(ui.LabelText(Label::PollingMode), "[ AUTO ]");

  // A global download switches polling off without the label; the next press selects AUTO.
  SetPollingMode(engine, kPollingManu);
  EXPECT_EQ(ui.LabelText(Label::PollingMode), "[ AUTO ]");
  TogglePollingMode(engine);
  EXPECT_EQ(GetPollingMode(engine), kPollingAuto);
}

TEST_F(OperatingModesTest, DisplayModeButtonClearsTheLogAndAsksTheWorkerForAStatus) {
  const struct {
    std::uint8_t downloading;
    std::uint8_t request;  // immediateStatusRequest afterwards
  } cases[] = {{0, 1}, {1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.downloading));
    EngineState& s = engine.state;
    s.normalDownloadActive = c.downloading;
    s.immediateStatusRequest = 0;
    s.lastStatus = 5;
    s.statusChanged = 0;
    SetDisplayMode(engine, kDisplayBinaryFull);
    ui.AppendLogText("old line\r\n");
    wakes = 0;

    ToggleDisplayMode(engine);

    EXPECT_EQ(GetDisplayMode(engine), kDisplayTextLimited);
    EXPECT_EQ(ui.LabelText(Label::DisplayMode), "Text and Limited");
    EXPECT_EQ(ui.GetLogText(), "");
    EXPECT_EQ(s.immediateStatusRequest, c.request);
    EXPECT_EQ(wakes, c.request);
    EXPECT_EQ(s.lastStatus, c.request ? 0 : 5);
    EXPECT_EQ(s.statusChanged, c.request);
    EXPECT_TRUE(link.Written().empty()) << "the window thread never writes the line";
  }
  ToggleDisplayMode(engine);
  EXPECT_EQ(GetDisplayMode(engine), kDisplayBinaryFull);
  EXPECT_EQ(ui.LabelText(Label::DisplayMode), "Binary and Full");
}

// "Text and Limited" with automatic polling: after the button only a status that differs from
// the one before is shown, each with the request that produced it.
TEST_F(OperatingModesTest, TextAndLimitedShowsOnlyChangedStatuses) {
  engine.state.lastStatus = 1;  // IDLING was the last status before the press
  ToggleDisplayMode(engine);
  for (const int code : {0x11, 0x11, 0x12, 0x12, 0x11}) {
    Receive(MakeFrame(static_cast<std::uint8_t>(code)));
  }
  EXPECT_EQ(ui.GetLogText(),
            "STATUS REQUEST--->\r\n              <--- IDLING\r\n"
            "STATUS REQUEST--->\r\n              <--- ACCEPTING\r\n"
            "STATUS REQUEST--->\r\n              <--- IDLING\r\n");
}

}  // namespace
}  // namespace tarvik
