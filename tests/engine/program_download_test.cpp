#include "engine/program_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/comm_log.h"
#include "engine/download_tab.h"
#include "engine/response_dispatch.h"
#include "engine/worker_loop.h"
#include "protocol/line_codes.h"
#include "support/fake_window_services.h"

namespace tarvik {
namespace {

using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;
using testing::MakeFrame;

// A target file in a directory of its own, removed with the test.
class TempFile {
 public:
  explicit TempFile(const std::vector<std::uint8_t>& bytes,
                    const std::string& name = "target.bin") {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarvik-download-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / name).string();
    Write(bytes);
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void Write(const std::vector<std::uint8_t>& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void Append(std::size_t count) const {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    for (std::size_t i = 0; i < count; ++i) out.put('x');
  }
  const std::string& path() const { return path_; }
  std::string dir() const { return dir_.string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::string path_;
};

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

// One data frame as it left the host.
struct DataFrame {
  std::uint32_t address;
  std::vector<std::uint8_t> packet;
};

DataFrame ParseData(const std::vector<std::uint8_t>& frame) {
  DataFrame data;
  data.address = static_cast<std::uint32_t>(frame[3]) | static_cast<std::uint32_t>(frame[4]) << 8 |
                 static_cast<std::uint32_t>(frame[5]) << 16 |
                 static_cast<std::uint32_t>(frame[6]) << 24;
  data.packet.assign(frame.begin() + 7, frame.end() - 2);
  return data;
}

class ProgramDownloadTest : public ::testing::Test {
 protected:
  ProgramDownloadTest() {
    ui.Attach(&engine);
    engine.runGlobalDownload = RunGlobalDownload;
    WorkerStartUp(engine);
    ui.ClearCalls();
  }

  // Chooses `file` on the tab, presses Normal Download and answers the validator's way through
  // the whole download: ACK to the start and to each packet, `busy` BUSY statuses before the
  // first READY, READY after, and the check result `check` to the end. Stops after `maxCycles`.
  void RunNormalDownload(const TempFile& file, int busy = 0, std::uint8_t check = 0x00,
                         int maxCycles = 5000) {
    ASSERT_TRUE(BrowseTargetFile(engine, file.path()));
    ASSERT_TRUE(PressNormalDownload(engine));
    std::size_t answered = 0;
    for (int cycle = 0; cycle < maxCycles; ++cycle) {
      WorkerCycle(engine);
      const auto written = link.Written();
      for (; answered < written.size(); ++answered) {
        const auto& frame = written[answered];
        switch (frame[2]) {
          case cmd::kDownloadStart:
          case cmd::kDownloadData:
            link.Deliver(MakeFrame(rsp::kAck));
            break;
          case cmd::kStatusRequest:
            link.Deliver(MakeFrame(rsp::kDownloadStatus,
                                   {busy > 0 ? std::uint8_t{0x80} : std::uint8_t{0x00}}));
            if (busy > 0) --busy;
            break;
          case cmd::kDownloadEnd:
            link.Deliver(MakeFrame(rsp::kProgramCheck, {check, 0x12, 0x34}));
            break;
          default:
            break;
        }
      }
      if (engine.state.normalDownloadActive == 0 && engine.state.awaitingResponse == 0) {
        WorkerCycle(engine);  // the Ack that answers the check result
        return;
      }
    }
    FAIL() << "the download did not end";
  }

  std::vector<std::vector<std::uint8_t>> FramesOf(std::uint8_t code) const {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const auto& frame : link.Written()) {
      if (frame[2] == code) frames.push_back(frame);
    }
    return frames;
  }

  void ReceiveAndDispatchOnce() { ReceiveAndDispatch(engine); }

  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (const auto& frame : link.Written()) codes.push_back(frame[2]);
    return codes;
  }

  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

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
  const std::string log = ui.GetLogText();
  std::size_t busyLines = 0;
  for (auto at = log.find("Program Download BUSY"); at != std::string::npos;
       at = log.find("Program Download BUSY", at + 1)) {
    ++busyLines;
  }
  EXPECT_EQ(busyLines, 3u);
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
  link.Deliver(MakeFrame(rsp::kDownloadStatus, {0x00}));
  ReceiveAndDispatchOnce();
  EXPECT_TRUE(ui.Messages().empty());
  EXPECT_EQ(engine.state.commandQueued, 0);
  EXPECT_NE(ui.GetLogText().find("Program Download READY"), std::string::npos);
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

// --- Global download --------------------------------------------------------------------------

TEST_F(ProgramDownloadTest, TheGlobalDownloadBroadcastsEveryFrameOnItsFixedWaits) {
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

TEST_F(ProgramDownloadTest, AGlobalDownloadWithoutAnOpenFileSendsNothing) {
  engine.state.deviceAddress = kGlobalDeviceAddress;
  engine.state.globalDownloadActive = 1;
  WorkerCycle(engine);
  EXPECT_TRUE(link.Written().empty());
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{std::string(kGlobalDownloadNoFileText)});
  EXPECT_EQ(engine.state.globalDownloadActive, 0);
  EXPECT_EQ(engine.state.deviceAddress, kNormalDeviceAddress);
  EXPECT_EQ(clock.pausedMs, 0);
}

TEST_F(ProgramDownloadTest, AGlobalFrameRefusedByStaleBytesIsSentAfterTheLineIsCleared) {
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
