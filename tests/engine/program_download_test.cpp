#include "engine/program_download.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/comm_log.h"
#include "engine/download_fixture.h"
#include "engine/download_tab.h"
#include "support/text_count.h"

namespace tarvik {
namespace {

using download_test::DataFrame;
using download_test::ParseData;
using download_test::Pattern;
using download_test::ProgramDownloadTest;
using download_test::TempFile;
using testing::MakeFrame;

// --- Normal download -----------------------------------------------------------------------

TEST_F(ProgramDownloadTest, PacketsCarryTheFileInOrderWithTheirOffsetsAndProgress) {
  const struct Case {
    std::size_t size;
    std::int32_t packetSize;
    std::vector<std::size_t> lengths;
    std::vector<std::uint32_t> addresses;
    std::vector<std::string> progress;
  } cases[] = {
      {1000,
       246,
       {246, 246, 246, 246, 16},
       {0, 246, 492, 738, 984},
       {"(24%)", "(49%)", "(73%)", "(98%)", "(100%)"}},
      // Whole packets: the end shows only after one more, empty, packet at the file's length.
      {492, 246, {246, 246, 0}, {0, 246, 492}, {"(50%)", "(100%)", "(100%)"}},
      {30, 7, {7, 7, 7, 7, 2}, {0, 7, 14, 21, 28}, {"(23%)", "(46%)", "(70%)", "(93%)", "(100%)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", packets of " + std::to_string(c.packetSize));
    link.ClearWritten();
    ui.ClearCalls();
    engine.state.download_packet_size = c.packetSize;
    const TempFile file(Pattern(c.size));
    RunNormalDownload(file);

    const auto data = FramesOf(cmd::kDownloadData);
    ASSERT_EQ(data.size(), c.lengths.size());
    std::vector<std::uint8_t> image;
    for (std::size_t i = 0; i < data.size(); ++i) {
      const DataFrame frame = ParseData(data[i]);
      EXPECT_EQ(frame.address, c.addresses[i]) << "packet " << i;
      EXPECT_EQ(frame.packet.size(), c.lengths[i]) << "packet " << i;
      EXPECT_EQ(data[i][1], c.lengths[i] + 9) << "LNG of packet " << i;
      image.insert(image.end(), frame.packet.begin(), frame.packet.end());
    }
    EXPECT_EQ(image, Pattern(c.size));

    // Each packet costs four frames; the end and the Ack follow the last one.
    const auto codes = Codes();
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes.front(), cmd::kDownloadStart);
    EXPECT_EQ(codes[codes.size() - 2], cmd::kDownloadEnd);
    EXPECT_EQ(codes.back(), cmd::kAck);

    const std::string log = ui.GetLogText();
    std::size_t at = 0;
    for (const std::string& percent : c.progress) {
      at = log.find("Download Data " + percent, at);
      EXPECT_NE(at, std::string::npos) << percent;
      if (at == std::string::npos) break;
      ++at;
    }
    EXPECT_NE(log.find("Program Check Verified-1234"), std::string::npos);
    EXPECT_EQ(ui.Messages().back(), kDownloadSuccessText);
    EXPECT_EQ(engine.download.targetFile, nullptr);
    EXPECT_EQ(engine.state.transactionStep, kStepNone);
  }
}

TEST_F(ProgramDownloadTest, BusyIsAnsweredByAnotherStatusRequestWithoutReadingTheFile) {
  const TempFile file(Pattern(300));
  RunNormalDownload(file, 3);
  const auto codes = Codes();
  // Start, its ACK's status request, three BUSY answers each asking again, then the first packet.
  const std::vector<int> head(codes.begin(), codes.begin() + 6);
  EXPECT_EQ(head, (std::vector<int>{0xD0, 0x11, 0x11, 0x11, 0x11, 0xD1}));
  EXPECT_EQ(ParseData(FramesOf(cmd::kDownloadData).front()).address, 0u);
  EXPECT_EQ(ParseData(FramesOf(cmd::kDownloadData).front()).packet.size(), 246u);
  EXPECT_EQ(testing::Count(ui.GetLogText(), "Program Download BUSY"), 3u);
}

TEST_F(ProgramDownloadTest, TheFileIsMeasuredOnceAtTheFirstReady) {
  const TempFile file(Pattern(500));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(OpenTargetFile(engine, file.path(), 246));
  engine.state.normalDownloadActive = 1;
  const auto ready = MakeFrame(rsp::kDownloadStatus, {0x00});
  link.Deliver(ready);
  ReceiveAndDispatchOnce();
  EXPECT_EQ(engine.state.downloadTotalSize, 500u);

  file.Append(100);  // the file grows under the download
  link.Deliver(ready);
  ReceiveAndDispatchOnce();
  EXPECT_EQ(engine.state.downloadTotalSize, 500u);
  EXPECT_EQ(engine.state.downloadOffset, 492u);
}

TEST_F(ProgramDownloadTest, AStatusWithoutATargetFileCancelsAndQueuesNothing) {
  engine.state.normalDownloadActive = 1;
  engine.state.transactionStep = kStepDownloadStart;
  for (const std::uint8_t status : {std::uint8_t{0x00}, std::uint8_t{0x80}}) {
    ui.ClearCalls();
    link.Deliver(MakeFrame(rsp::kDownloadStatus, {status}));
    ReceiveAndDispatchOnce();
    EXPECT_EQ(ui.CallsStartingWith("Message"),
              std::vector<std::string>{"Message [!]: " + std::string(kDownloadCanceledText)});
    EXPECT_EQ(engine.state.commandQueued, 0);
    EXPECT_EQ(ui.GetLogText().find("Program Download"), std::string::npos) << "nothing logged";
  }
}

TEST_F(ProgramDownloadTest, OutsideADownloadAStatusOfTheLoaderIsOnlyLogged) {
  // A validator left in its loader answers each poll with its status: one box per poll would
  // hold the host for good.
  const TempFile file(Pattern(100));
  for (const bool fileOpen : {false, true}) {
    SCOPED_TRACE(fileOpen ? "file left open" : "no file");
    if (fileOpen) {
      ASSERT_TRUE(OpenTargetFile(engine, file.path(), 246));
    }
    ui.ClearLogBox();
    link.Deliver(MakeFrame(rsp::kDownloadStatus, {0x00}));
    ReceiveAndDispatchOnce();
    EXPECT_TRUE(ui.Messages().empty());
    EXPECT_EQ(engine.state.commandQueued, 0);
    EXPECT_EQ(engine.state.downloadPacketLength, 0u) << "no packet read";
    EXPECT_NE(ui.GetLogText().find("Program Download READY"), std::string::npos);
  }
  CloseTargetFile(engine);
}

TEST_F(ProgramDownloadTest, AnUnknownStatusByteIsIgnoredAndTheExchangeStaysOpen) {
  const TempFile file(Pattern(100));
  ASSERT_TRUE(OpenTargetFile(engine, file.path(), 246));
  engine.state.normalDownloadActive = 1;
  link.Deliver(MakeFrame(rsp::kDownloadStatus, {0x42}));
  EXPECT_EQ(ReceiveAndDispatch(engine), 0);
  EXPECT_EQ(engine.state.commandQueued, 0);
  EXPECT_EQ(engine.state.downloadPacketLength, 0u);
  EXPECT_NE(ui.GetLogText().find("Program Download Status 42"), std::string::npos);
}

TEST_F(ProgramDownloadTest, ACheckErrorSaysTheCheckFailedWithBothCrcs) {
  const struct Case {
    std::uint8_t check;
    bool verified;
  } cases[] = {{0x00, true}, {0x80, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verified ? "verified" : "check error");
    link.ClearWritten();
    ui.ClearCalls();
    const TempFile file(Pattern(100));
    RunNormalDownload(file, 0, c.check);
    char fileCrc[8];
    std::snprintf(fileCrc, sizeof fileCrc, "%04X", engine.download.targetFileCrc.load());
    const std::string log = ui.GetLogText();
    const std::string last = ui.Messages().back();
    if (c.verified) {
      EXPECT_NE(log.find("Program Check Verified-1234"), std::string::npos);
      EXPECT_EQ(last, kDownloadSuccessText);
    } else {
      EXPECT_NE(log.find(std::string("Program Check Error-V1234:M") + fileCrc), std::string::npos);
      EXPECT_NE(last.find("program check has failed"), std::string::npos) << last;
      EXPECT_NE(last.find("1234"), std::string::npos) << last;
      EXPECT_NE(last.find(fileCrc), std::string::npos) << last;
      for (const std::string& call : ui.CallsStartingWith("Message")) {
        EXPECT_EQ(call.find(kDownloadSuccessText), std::string::npos) << call;
      }
    }
    // The end gives both buttons back and the timers to polling.
    const auto buttons = ui.CallsStartingWith("EnableDownloadButton");
    ASSERT_GE(buttons.size(), 2u);
    EXPECT_EQ(buttons[buttons.size() - 2], "EnableDownloadButton Normal on");
    EXPECT_EQ(buttons.back(), "EnableDownloadButton Global on");
    EXPECT_FALSE(ui.IsRunning(kDownloadTimer));
    EXPECT_TRUE(ui.IsRunning(kPollingTimer));
  }
}

TEST_F(ProgramDownloadTest, ALateCheckResultOutsideADownloadIsLoggedAndAcknowledgedOnly) {
  link.Deliver(MakeFrame(rsp::kProgramCheck, {0x00, 0x12, 0x34}));
  ReceiveAndDispatchOnce();
  EXPECT_NE(ui.GetLogText().find("Program Check Verified-1234"), std::string::npos);
  std::uint8_t queued = 0;
  EXPECT_TRUE(PeekQueuedCommand(engine, queued));
  EXPECT_EQ(queued, cmd::kAck);
  EXPECT_TRUE(ui.Messages().empty()) << "no success is announced for a download not running";
}

TEST_F(ProgramDownloadTest, InTheTestOperatingModeTheButtonOpensTheFileButNothingIsSent) {
  engine.state.ope_mode_index = 1;
  const TempFile file(Pattern(100));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ui.ClearCalls();
  ASSERT_TRUE(PressNormalDownload(engine));
  EXPECT_NE(engine.download.targetFile, nullptr);
  EXPECT_EQ(ui.CallsStartingWith("EnableDownloadButton"),
            std::vector<std::string>{"EnableDownloadButton Global off"});
  WorkerCycle(engine);
  WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(engine.state.normalDownloadActive, 1);
  EXPECT_EQ(engine.state.awaitingResponse, 0);

  PostPendingCommand(engine, 'V');
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.normalDownloadActive, 0);
}

// --- A download that must not hang ----------------------------------------------------------

TEST_F(ProgramDownloadTest, ASilentValidatorEndsTheDownloadWhenTimerOneExpires) {
  const TempFile file(Pattern(600));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressNormalDownload(engine));
  WorkerCycle(engine);  // takes 'F'
  WorkerCycle(engine);  // sends the start request
  ASSERT_EQ(Codes(), std::vector<int>{cmd::kDownloadStart});
  // The validator says nothing. The worker goes on receiving, which must not stop the watchdog.
  for (int i = 0; i < 10; ++i) WorkerCycle(engine);
  ASSERT_TRUE(ui.IsRunning(kDownloadTimer));
  EXPECT_EQ(ui.PeriodOf(kDownloadTimer), 20000);

  ui.Fire(kDownloadTimer);
  WorkerCycle(engine);
  EXPECT_NE(ui.GetLogText().find("Timeout Error."), std::string::npos);
  EXPECT_EQ(ui.Messages().back(), kDownloadStoppedText);
  EXPECT_EQ(engine.download.targetFile, nullptr);
  EXPECT_EQ(engine.state.normalDownloadActive, 0);
  EXPECT_EQ(engine.state.awaitingResponse, 0);
  EXPECT_FALSE(ui.IsRunning(kDownloadTimer));

  // Polling resumes: the next expiry of timer 2 sends a status request and keeps polling.
  link.ClearWritten();
  for (int poll = 0; poll < 2; ++poll) {
    ASSERT_TRUE(ui.IsRunning(kPollingTimer));
    ui.Fire(kPollingTimer);
    WorkerCycle(engine);
  }
  EXPECT_EQ(Codes(), (std::vector<int>{cmd::kStatusRequest, cmd::kStatusRequest}));
}

TEST_F(ProgramDownloadTest, ARefusedDataFrameIsSentAgainOnceTheLineAllows) {
  const TempFile file(Pattern(300));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressNormalDownload(engine));
  WorkerCycle(engine);
  WorkerCycle(engine);  // start request
  link.Deliver(MakeFrame(rsp::kAck));
  WorkerCycle(engine);  // status request
  // READY arrives, and the port refuses the packet (a byte arrived at that very moment).
  link.RefuseWrites(true);
  link.Deliver(MakeFrame(rsp::kDownloadStatus, {0x00}));
  WorkerCycle(engine);
  EXPECT_EQ(engine.state.commandQueued, 1) << "the refused packet stays queued";
  link.RefuseWrites(false);
  WorkerCycle(engine);
  const auto data = FramesOf(cmd::kDownloadData);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(ParseData(data[0]).address, 0u);
  EXPECT_EQ(ParseData(data[0]).packet.size(), 246u);
  EXPECT_TRUE(ui.IsRunning(kDownloadTimer));
}

TEST_F(ProgramDownloadTest, ALineThatNeverClearsGivesUpAndTimerOneEndsTheDownload) {
  const TempFile file(Pattern(300));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressNormalDownload(engine));
  WorkerCycle(engine);  // takes 'F'
  link.RefuseWrites(true);
  for (int pass = 0; pass < 200; ++pass) WorkerCycle(engine);
  EXPECT_EQ(engine.state.commandQueued, 0) << "the retries are bounded";
  ASSERT_TRUE(ui.IsRunning(kDownloadTimer)) << "the refusal armed the watchdog";
  ui.Fire(kDownloadTimer);
  WorkerCycle(engine);
  EXPECT_EQ(ui.Messages().back(), kDownloadStoppedText);
  EXPECT_EQ(engine.state.normalDownloadActive, 0);
  EXPECT_EQ(engine.download.targetFile, nullptr);
}

TEST_F(ProgramDownloadTest, AReceiveErrorDuringTheDownloadEndsItCleanly) {
  const TempFile file(Pattern(300));
  ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
  ASSERT_TRUE(PressNormalDownload(engine));
  WorkerCycle(engine);
  WorkerCycle(engine);
  link.Deliver({0x33});  // not a frame
  WorkerCycle(engine);
  EXPECT_NE(ui.GetLogText().find("Sync Byte Error."), std::string::npos);
  EXPECT_EQ(ui.Messages().back(), kDownloadStoppedText);
  EXPECT_EQ(engine.state.normalDownloadActive, 0);
  EXPECT_EQ(engine.download.targetFile, nullptr);
  EXPECT_TRUE(ui.IsRunning(kPollingTimer));
}

TEST_F(ProgramDownloadTest, AReadErrorShowsItsMessageKeepsTheLogAndEndsTheProgram) {
  const TempFile file(Pattern(10));
  // A directory opens as a stream on this system, but every read of it fails.
  ASSERT_TRUE(OpenTargetFile(engine, file.dir(), 246));
  const std::string logPath = file.dir() + "/comm.log";
  ASSERT_TRUE(OpenLogFile(engine, logPath));
  EXPECT_FALSE(PrepareDownloadPacket(engine));
  EXPECT_FALSE(IsLogFileOpen(engine)) << "closed, so its last lines are on disk before the end";
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{std::string(kTargetReadErrorText)});
  EXPECT_TRUE(ui.EndProgramCalled());
  EXPECT_EQ(engine.download.targetFile, nullptr);
}

}  // namespace
}  // namespace tarvik
