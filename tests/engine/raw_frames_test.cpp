#include "engine/raw_frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/comm_log.h"
#include "engine/worker_loop.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using Bytes = std::vector<std::uint8_t>;

TEST(BuildRawFrame, AddsSyncLengthAndCrc) {
  const struct {
    std::uint8_t address;
    std::uint8_t code;
    Bytes data;
    Bytes frame;
  } cases[] = {
      {0xFC, 0x40, {}, {0xFC, 0x05, 0x40, 0x2B, 0x15}},
      {0xFC, 0xC0, {0x12, 0x34}, {0xFC, 0x07, 0xC0, 0x12, 0x34, 0xAB, 0x64}},
      {0xF0, 0x11, {}, {0xF0, 0x05, 0x11, 0x84, 0xF3}},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildRawFrame(c.address, c.code, c.data), c.frame);
  EXPECT_EQ(BuildRawFrame(0xFC, 0x30, Bytes(kMaxFrameData, 0x55))[1], 255);
}

TEST(RawFrameLogName, IsTheCatalogueNameOrTheCode) {
  EXPECT_EQ(RawFrameLogName(0x40), "RESET COMMAND");
  EXPECT_EQ(RawFrameLogName(0x41), "Stack 1");
  EXPECT_EQ(RawFrameLogName(0x30), "Raw Frame 0x30");
  EXPECT_EQ(RawFrameLogName(0xFF), "Raw Frame 0xFF");
}

class RawFrameEngineTest : public ::testing::Test {
 protected:
  RawFrameEngineTest() {
    ui.Attach(&engine);
    link.Open(1, 9600);
    engine.state.portOpen.store(1);
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_F(RawFrameEngineTest, IsRefusedWhileItCouldNotGoOutAsAnOperatorCommand) {
  const struct {
    const char* name;
    void (*set)(EngineState&);
    Bytes bytes;
    const char* why;
  } cases[] = {
      {"port closed", [](EngineState& s) { s.portOpen.store(0); }, {0xFC}, "the port is not open"},
      {"exchange open",
       [](EngineState& s) { s.awaitingResponse.store(1); },
       {0xFC},
       "an exchange is open; wait for its answer first"},
      {"character posted",
       [](EngineState& s) { s.pendingCommand.store('S'); },
       {0xFC},
       "an exchange is open; wait for its answer first"},
      {"command queued",
       [](EngineState& s) { s.commandQueued.store(1); },
       {0xFC},
       "an exchange is open; wait for its answer first"},
      {"download",
       [](EngineState& s) { s.normalDownloadActive.store(1); },
       {0xFC},
       "a download is running"},
      {"nothing to send", [](EngineState&) {}, {}, "no bytes to send"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine.state.portOpen.store(1);
    engine.state.awaitingResponse.store(0);
    engine.state.pendingCommand.store(0);
    engine.state.commandQueued.store(0);
    engine.state.normalDownloadActive.store(0);
    c.set(engine.state);
    const std::int32_t pendingBefore = engine.state.pendingCommand.load();
    EXPECT_EQ(PostRawFrame(engine, c.bytes, "Raw Bytes"), c.why);
    EXPECT_EQ(engine.state.pendingCommand.load(), pendingBefore);
  }
}

TEST_F(RawFrameEngineTest, GoesOutAsAnOperatorCommandWithItsDeadline) {
  const Bytes badCrc{0xFC, 0x05, 0x11, 0x00, 0x00};
  ASSERT_EQ(PostRawFrame(engine, badCrc, std::string(kRawBytesLogName)), "");
  EXPECT_EQ(engine.state.pendingCommand.load(), kRawFrameCharacter);

  WorkerCycle(engine);
  ASSERT_EQ(link.Written(), std::vector<Bytes>{badCrc});
  EXPECT_EQ(engine.state.awaitingResponse.load(), 1);
  EXPECT_EQ(engine.state.lastCommand.load(), 0x11);
  EXPECT_TRUE(ui.IsRunning(kResponseTimer));
  EXPECT_EQ(ui.GetLogText(), "Raw Bytes --->\r\n[FC 05 11 00 00]\r\n");
  EXPECT_EQ(engine.statistics.Snapshot().commands.at(0x11).sent, 1u);

  // Its answer is dispatched as usual and ends the exchange.
  link.Deliver({0xFC, 0x05, 0x11, 0x27, 0x56});
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.awaitingResponse.load(), 0);
  EXPECT_NE(ui.GetLogText().find("<--- IDLING\r\n"), std::string::npos) << ui.GetLogText();
}

TEST_F(RawFrameEngineTest, GoesOutInTheTestOperatingModeToo) {
  engine.state.ope_mode_index.store(1);
  ASSERT_EQ(PostRawFrame(engine, {0xFC, 0x05, 0x40, 0x2B, 0x15}, "RESET COMMAND"), "");
  WorkerCycle(engine);
  EXPECT_EQ(link.Written(), (std::vector<Bytes>{{0xFC, 0x05, 0x40, 0x2B, 0x15}}));
}

// ---- Timestamps on the log
// -----------------------------------------------------------------------

TEST_F(RawFrameEngineTest, TimestampsPrefixEveryLineOfBoxAndFileOnlyWhenAsked) {
  const std::string path = ::testing::TempDir() + "tarvik-stamped-log.txt";
  std::remove(path.c_str());
  const std::string plainBox = "Raw Bytes --->\r\n[FC 05 40 2B 15]\r\n";
  static const std::regex kStamp("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ");
  for (const bool stamped : {false, true}) {
    SCOPED_TRACE(stamped);
    ui.ClearLogBox();
    engine.logTimestamps.store(stamped);
    ASSERT_TRUE(OpenLogFile(engine, path));
    engine.state.pendingCommand.store(0);
    engine.state.awaitingResponse.store(0);
    ASSERT_EQ(PostRawFrame(engine, {0xFC, 0x05, 0x40, 0x2B, 0x15}, "Raw Bytes"), "");
    WorkerCycle(engine);
    CloseLogFile(engine);

    std::ifstream file(path);
    std::string fileText((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    const std::string box = ui.GetLogText();
    if (!stamped) {
      EXPECT_EQ(box, plainBox);
      EXPECT_EQ(fileText, "Raw Bytes --->\n[FC 05 40 2B 15]\n");
      continue;
    }
    for (const std::string* text : {&box, static_cast<const std::string*>(&fileText)}) {
      std::istringstream lines(*text);
      std::string rest;
      int count = 0;
      for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(std::regex_search(line, kStamp)) << line;
        rest += line.substr(13) + "\n";
      }
      EXPECT_EQ(count, 2);
      EXPECT_EQ(rest, text == &box ? "Raw Bytes --->\r\n[FC 05 40 2B 15]\r\n"
                                   : "Raw Bytes --->\n[FC 05 40 2B 15]\n");
    }
  }
}

}  // namespace
}  // namespace tarvik
