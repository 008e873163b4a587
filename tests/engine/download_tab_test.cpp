#include "engine/download_tab.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/program_download.h"
#include "support/fake_window_services.h"
#include "support/scratch_dir.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

class DownloadTabTest : public ::testing::Test {
 protected:
  DownloadTabTest() {
    ui.Attach(&engine);
    engine.state.portOpen = 1;
  }

  std::string MakeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = (dir_.Path() / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
  testing::ScratchDir dir_{"tarvik-tab"};
};

const std::vector<std::uint8_t> kHeader = {'A',  'B',  'C',  0x00, 'x',  'y',  0x01,
                                           0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0D};

TEST(TargetHeader, ShowsTheNameUpToItsZeroAndBothAddressesInFileOrder) {
  EXPECT_EQ(FormatTargetHeader(kHeader), " ABC:01020304:0A0B0C0D");
  std::vector<std::uint8_t> full = kHeader;
  full[3] = 'D';
  full[4] = 'E';
  full[5] = 'F';
  full.push_back(0x99);  // bytes past the header do not count
  EXPECT_EQ(FormatTargetHeader(full), " ABCDEF:01020304:0A0B0C0D");
  EXPECT_EQ(FormatTargetHeader(std::span(kHeader).first(13)), std::nullopt);
}

TEST_F(DownloadTabTest, BrowseRefusesWhatIsNotATargetFileAndKeepsTheEarlierChoice) {
  const std::string good = MakeFile("good.bin", kHeader);
  const auto chosen = BrowseTargetFile(engine, good);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->path, good);
  EXPECT_EQ(chosen->header, " ABC:01020304:0A0B0C0D");
  char crc[8];
  std::snprintf(crc, sizeof crc, "%04X", engine.download.targetFileCrc.load());
  EXPECT_EQ(chosen->crc, crc);
  EXPECT_EQ(ui.CallsStartingWith("EnableDownloadButton"),
            (std::vector<std::string>{"EnableDownloadButton Normal on",
                                      "EnableDownloadButton Global on"}));

  const struct Case {
    const char* what;
    std::string path;
    std::string message;  // "" for none
  } cases[] = {
      {"13 bytes",
       MakeFile("short.bin", std::vector<std::uint8_t>(kHeader.begin(), kHeader.end() - 1)),
       std::string(kFileSizeErrorText)},
      {"5 bytes", MakeFile("tiny.bin", {1, 2, 3, 4, 5}), std::string(kFileSizeErrorText)},
      {"missing", (dir_.Path() / "missing.bin").string(), std::string(kFileOpenErrorText)},
      {"cancelled", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui.ClearCalls();
    EXPECT_FALSE(BrowseTargetFile(engine, c.path));
    const std::vector<std::string> expected =
        c.message.empty() ? std::vector<std::string>{}
                          : std::vector<std::string>{"Message [!]: " + c.message};
    EXPECT_EQ(ui.Calls(), expected);
    EXPECT_EQ(engine.download.targetFilePath, good);
  }
}

TEST_F(DownloadTabTest, TheButtonsCheckInOrderAndRefuseWithTheirMessages) {
  const struct Case {
    const char* what;
    std::uint8_t portOpen;
    std::int32_t global;
    std::int32_t awaiting;
    bool chosen;
    std::string_view message;
  } cases[] = {
      {"port closed", 0, 1, 1, false, kPortNotOpenText},
      {"global download", 1, 1, 0, true, kTransactionRunningText},
      {"open exchange", 1, 0, 1, true, kTransactionRunningText},
      {"no file", 1, 0, 0, false, kNoTargetFileText},
  };
  const std::string file = MakeFile("t.bin", kHeader);
  for (const Case& c : cases) {
    for (const bool global : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (global ? ", global" : ", normal"));
      EngineState& s = engine.state;
      s.portOpen = c.portOpen;
      s.globalDownloadActive = c.global;
      s.awaitingResponse = c.awaiting;
      engine.download.targetFilePath = c.chosen ? file : "";
      ui.ClearCalls();
      EXPECT_FALSE(global ? PressGlobalDownload(engine) : PressNormalDownload(engine));
      EXPECT_EQ(ui.Calls(), std::vector<std::string>{"Message: " + std::string(c.message)});
      EXPECT_EQ(s.pendingCommand, 0);
      EXPECT_EQ(engine.download.targetFile, nullptr);
    }
  }
}

TEST_F(DownloadTabTest, AnsweringNoChangesNothing) {
  ASSERT_TRUE(BrowseTargetFile(engine, MakeFile("t.bin", kHeader)));
  for (const bool global : {false, true}) {
    ui.ClearCalls();
    ui.QueueAnswer(MessageResult::No);
    EXPECT_FALSE(global ? PressGlobalDownload(engine) : PressNormalDownload(engine));
    ASSERT_EQ(ui.Calls().size(), 1u);
    EXPECT_EQ(ui.Calls()[0].rfind("Question [?]: Do you want to execute the", 0), 0u);
    EXPECT_EQ(engine.download.targetFile, nullptr);
    EXPECT_EQ(engine.state.pendingCommand, 0);
    EXPECT_EQ(engine.state.globalDownloadActive, 0);
  }
}

TEST_F(DownloadTabTest, YesStartsTheDownloadAndDisablesTheOtherButton) {
  ASSERT_TRUE(BrowseTargetFile(engine, MakeFile("t.bin", kHeader)));
  engine.state.download_packet_size = 100;

  ui.ClearCalls();
  ASSERT_TRUE(PressNormalDownload(engine));
  EXPECT_EQ(engine.state.pendingCommand, 'F');
  EXPECT_NE(engine.download.targetFile, nullptr);
  EXPECT_EQ(engine.download.packetSize, 100);
  EXPECT_EQ(ui.LabelText(Label::DeviceAddress), "252");
  EXPECT_EQ(ui.CallsStartingWith("EnableDownloadButton"),
            std::vector<std::string>{"EnableDownloadButton Global off"});

  engine.state.pendingCommand = 0;
  ui.StartTimer(kPollingTimer, 200);
  ui.ClearCalls();
  ASSERT_TRUE(PressGlobalDownload(engine));
  EXPECT_EQ(engine.state.globalDownloadActive, 1);
  EXPECT_EQ(engine.state.deviceAddress, kGlobalDeviceAddress);
  EXPECT_EQ(engine.state.pollingMode, kPollingManu);
  EXPECT_EQ(ui.LabelText(Label::DeviceAddress), "240");
  EXPECT_FALSE(ui.IsRunning(kPollingTimer));
  EXPECT_EQ(ui.CallsStartingWith("EnableDownloadButton"),
            std::vector<std::string>{"EnableDownloadButton Normal off"});
  CloseTargetFile(engine);
}

TEST_F(DownloadTabTest, AFileThatChangedSinceBrowseStartsNoDownload) {
  const struct Case {
    const char* what;
    void (*change)(const std::string& path);
    const char* reason;
  } cases[] = {
      {"vanished", [](const std::string& path) { std::filesystem::remove(path); },
       "cannot be opened (No such file or directory)"},
      {"emptied", [](const std::string& path) { std::ofstream(path, std::ios::trunc); },
       "is empty"},
      {"replaced by a directory",
       [](const std::string& path) {
         std::filesystem::remove(path);
         std::filesystem::create_directory(path);
       },
       "is not a regular file"},
  };
  for (const Case& c : cases) {
    for (const bool global : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (global ? ", global" : ", normal"));
      const std::string path = MakeFile(std::string(c.what) + (global ? "-g" : "-n"), kHeader);
      ASSERT_TRUE(BrowseTargetFile(engine, path));
      c.change(path);
      ui.StartTimer(kPollingTimer, 200);
      ui.ClearCalls();
      EXPECT_FALSE(global ? PressGlobalDownload(engine) : PressNormalDownload(engine));
      const auto messages = ui.CallsStartingWith("Message [!]: ");
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_NE(messages[0].find(path), std::string::npos) << messages[0];
      EXPECT_NE(messages[0].find(c.reason), std::string::npos) << messages[0];
      EXPECT_EQ(engine.download.targetFile, nullptr);
      EXPECT_EQ(engine.state.pendingCommand, 0);
      EXPECT_EQ(engine.state.globalDownloadActive, 0);
      EXPECT_TRUE(ui.IsRunning(kPollingTimer));
      EXPECT_TRUE(ui.CallsStartingWith("EnableDownloadButton").empty());
    }
  }
}

}  // namespace
}  // namespace tarvik
