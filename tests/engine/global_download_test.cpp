// The global download: broadcast frames on fixed waits, through the clock seam.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/download_fixture.h"
#include "engine/download_tab.h"
#include "engine/program_download.h"

namespace tarvik {
namespace {

using download_test::ParseData;
using download_test::Pattern;
using download_test::ProgramDownloadTest;
using download_test::TempFile;
using testing::MakeFrame;

using GlobalDownloadTest = ProgramDownloadTest;

TEST_F(GlobalDownloadTest, TheGlobalDownloadBroadcastsEveryFrameOnItsFixedWaits) {
  const TempFile file(Pattern(500));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  std::vector<int> pauses;
  std::vector<std::string> addressDuring;
  clock.onPause = [&](int ms) {
    pauses.push_back(ms);
    addressDuring.push_back(ui.LabelText(Label::DeviceAddress));
  };
  ASSERT_TRUE(PressGlobalDownload(engine));
  EXPECT_EQ(engine.state.pollingMode, kPollingManu);
  EXPECT_FALSE(ui.IsRunning(kPollingTimer));
  WorkerCycle(engine);

  const auto frames = link.Written();
  ASSERT_FALSE(frames.empty());
  for (const auto& frame : frames) EXPECT_EQ(frame[0], 0xF0);
  EXPECT_EQ(Codes(), (std::vector<int>{0xC3, 0xD0, 0xD1, 0xD1, 0xD1, 0xD2}));
  EXPECT_EQ(frames[0][3], 0x01) << "INHIBIT SET carries the stored value 1";
  EXPECT_EQ(pauses, (std::vector<int>{3000, 10000, 60000, 1000, 1000}));
  for (const std::string& address : addressDuring) EXPECT_EQ(address, "240");
  std::vector<std::uint8_t> image;
  for (const auto& frame : FramesOf(cmd::kDownloadData)) {
    const auto packet = ParseData(frame).packet;
    image.insert(image.end(), packet.begin(), packet.end());
  }
  EXPECT_EQ(image, Pattern(500));

  EXPECT_EQ(ui.LabelText(Label::DeviceAddress), "252");
  EXPECT_EQ(engine.state.deviceAddress, kNormalDeviceAddress);
  EXPECT_EQ(engine.state.globalDownloadActive, 0);
  EXPECT_EQ(engine.state.pollingMode, kPollingManu) << "polling stays MANU";
  EXPECT_EQ(ui.LabelText(Label::PollingMode), "[ AUTO ]") << "though its label may say AUTO";
  EXPECT_TRUE(ui.IsRunning(kPollingTimer));
  EXPECT_EQ(ui.Messages().back(), kDownloadSuccessText);
  EXPECT_EQ(engine.download.targetFile, nullptr);
  // The count-down announces every wait with what follows it: 60 s, then 1 s for each of the two
  // further packets.
  const auto waits = ui.CallsStartingWith("Progress Global Waiting");
  ASSERT_EQ(waits.size(), 5u);
  EXPECT_NE(waits[0].find("wait 3000 then 72000"), std::string::npos) << waits[0];
  EXPECT_NE(waits[2].find("wait 60000 then 2000"), std::string::npos) << waits[2];
  EXPECT_NE(waits[4].find("wait 1000 then 0"), std::string::npos) << waits[4];
}

// The waits before the first packet report this file, not the figures the last download left:
// nothing sent yet of its 500 bytes.
TEST_F(GlobalDownloadTest, TheWaitsBeforeTheFirstPacketReportThisFile) {
  engine.state.downloadOffset = 740;
  engine.state.downloadTotalSize = 740;
  const TempFile file(Pattern(500));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressGlobalDownload(engine));
  WorkerCycle(engine);
  const auto waits = ui.CallsStartingWith("Progress Global Waiting");
  ASSERT_EQ(waits.size(), 5u);
  EXPECT_NE(waits[0].find("Waiting 0/500 "), std::string::npos) << waits[0];
  EXPECT_NE(waits[1].find("Waiting 0/500 "), std::string::npos) << waits[1];
}

TEST_F(GlobalDownloadTest, AGlobalDownloadWithoutAnOpenFileSendsNothing) {
  engine.state.deviceAddress = kGlobalDeviceAddress;
  engine.state.globalDownloadActive = 1;
  WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{std::string(kGlobalDownloadNoFileText)});
  EXPECT_EQ(engine.state.globalDownloadActive, 0);
  EXPECT_EQ(engine.state.deviceAddress, kNormalDeviceAddress);
  EXPECT_EQ(clock.pausedMs, 0);
}

TEST_F(GlobalDownloadTest, AGlobalFrameRefusedByStaleBytesIsSentAfterTheLineIsCleared) {
  const TempFile file(Pattern(20));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressGlobalDownload(engine));
  link.Deliver(MakeFrame(rsp::kIdling));  // a late answer to the last poll
  WorkerCycle(engine);
  EXPECT_EQ(Codes(), (std::vector<int>{0xC3, 0xD0, 0xD1, 0xD2}));
  EXPECT_EQ(ui.Messages().back(), kDownloadSuccessText);
}

}  // namespace
}  // namespace tarvik
