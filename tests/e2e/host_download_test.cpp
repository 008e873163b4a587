// End-to-end program downloads: the built tarvik-host on the console against the virtual
// validator, a normal download and its check, a global download on shortened waits, and a
// validator that falls silent mid-download.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/host_run_fixture.h"
#include "protocol/frame.h"

namespace {

using namespace tarvik::e2e;

// ---- Program download ------------------------------------------------------------------------

// A target file with a readable header and varied bytes after it, and its CRC as the host and
// the validator compute it.
struct TargetFile {
  std::string path;
  std::size_t size;
  std::string crc;  // "%04X"
};

TargetFile WriteTargetFile(const std::filesystem::path& dir, std::size_t size) {
  TargetFile file{(dir / "program.bin").string(), size, {}};
  std::vector<std::uint8_t> bytes(size);
  const std::uint8_t header[] = {'T',  'V',  '1',  0,    0,    0,    0x00,
                                 0x01, 0x00, 0x00, 0x00, 0x02, 0x90, 0x00};
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] =
        i < sizeof header ? header[i] : static_cast<std::uint8_t>((i * 131 + i / 256) & 0xFF);
  }
  std::ofstream(file.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  std::uint16_t crc = tarvik::signatureSeed;
  for (const std::uint8_t byte : bytes) crc = tarvik::CrcStep(crc, byte);
  char text[8];
  std::snprintf(text, sizeof text, "%04X", crc);
  file.crc = text;
  return file;
}

class DownloadTest : public HostRunTest {
 protected:
  // The validator and the host (`hostArgs` for the host), the validator expecting a program with
  // CRC `expectCrc` (none when empty), reset and idle; then `file` browsed and `button` pressed.
  void StartDownload(const TargetFile& file, const std::string& expectCrc,
                     const std::string& button = ":normal-download",
                     std::vector<std::string> hostArgs = {}) {
    ASSERT_TRUE(StartBoth(kInitializeMs, std::move(hostArgs)));
    if (!expectCrc.empty()) {
      ASSERT_TRUE(validator_.Command("expect-crc " + expectCrc).ok);
    }
    ASSERT_NO_FATAL_FAILURE(ResetValidator());
    host_.Type("\n:browse " + file.path + "\n" + button + "\n");
  }
};

// A 100 KiB program goes over packet by packet; the validator's check of what arrived matches the
// file. The input ends right after the button: the console lets the download finish, then exits.
TEST_F(DownloadTest, NormalDownloadDeliversTheWholeFile) {
  const TargetFile file = WriteTargetFile(dir_, 100 * 1024);
  ASSERT_NO_FATAL_FAILURE(StartDownload(file, file.crc));
  ASSERT_TRUE(WaitForErr("FIELD CRC: " + file.crc + "\n"));
  EXPECT_TRUE(WaitForErr("FIELD Header:  TV1:00010000:00029000\n"));
  host_.EndInput();
  EXPECT_EQ(host_.WaitForExit(), 0);
  EXPECT_NE(host_.Out().find(ReceivedText("Program Check Verified-" + file.crc)),
            std::string::npos);
  EXPECT_NE(host_.Err().find("MESSAGE: The target file has been downloaded successfully."),
            std::string::npos);
  EXPECT_TRUE(TraceHas("program load ended: 102400 bytes in 417 packets, CRC " + file.crc +
                       ", verified"));  // the check result came after this line
  EXPECT_EQ(Count(host_.Out(), "Download Data ("), 417u);
  EXPECT_TRUE(
      InOrder(host_.Out(), {"Download Data (0%)", "Download Data (50%)", "Download Data (100%)",
                            Sent("Download End and Confirm", "FC 05 D2 B0 A2")}));
  EXPECT_NE(host_.Err().find("DOWNLOAD: 100% (102400 of 102400 bytes)"), std::string::npos);
}

// A check error is not reported as success: the message names both CRCs.
TEST_F(DownloadTest, NormalDownloadWithACheckErrorSaysSo) {
  const TargetFile file = WriteTargetFile(dir_, 2000);
  ASSERT_NO_FATAL_FAILURE(StartDownload(file, file.crc == "0001" ? "0002" : "0001"));
  ASSERT_TRUE(WaitForErr("MESSAGE: The program check has failed"));
  // The log and the message arrive on two pipes: the log line may still be on its way.
  EXPECT_TRUE(WaitForLog("Program Check Error-V" + file.crc + ":M" + file.crc));
  EXPECT_NE(host_.Err().find("validator reports CRC " + file.crc + ", the target file has CRC " +
                             file.crc),
            std::string::npos);
  EXPECT_EQ(host_.Err().find("downloaded successfully"), std::string::npos);
  ExpectCleanExit();
}

// The broadcast on shortened waits: every frame goes to address 240, the validator takes the
// whole image without answering, and the host gives the line back to address 252. The input
// ends at once; the wait after the first packet outlasts the end of input's 5 s for an open
// exchange, and the console still lets the broadcast finish before it exits.
TEST_F(DownloadTest, GlobalDownloadBroadcastsTheWholeFile) {
  const TargetFile file = WriteTargetFile(dir_, 3000);
  ASSERT_NO_FATAL_FAILURE(StartDownload(file, file.crc, ":global-download",
                                        {"--global-download-waits", "50,50,6000,20"}));
  ExpectCleanExit();
  EXPECT_NE(host_.Err().find("MESSAGE: The target file has been downloaded successfully."),
            std::string::npos);
  EXPECT_TRUE(InOrder(host_.Err(), {"LABEL Device Address: 240\n", "BUTTON Normal Download: off",
                                    "DOWNLOAD: waiting 6 s for the validators", "DOWNLOAD: done",
                                    "LABEL Device Address: 252\n"}));
  EXPECT_TRUE(InOrder(host_.Out(),
                      {"INHIBIT SET --->\n[F0 06 C3 01 ", "Download Start Request --->\n[F0 ",
                       "Download Data (100%) --->\n[F0 ", "Download End and Confirm --->\n[F0 "}));
  // Nothing answers the last broadcast frame: the validator's trace tells what it made of it
  // (its thread may take that frame a moment after the host has gone).
  const std::string loaded =
      "program load ended: 3000 bytes in 13 packets, CRC " + file.crc + ", verified";
  const auto deadline = SteadyClock::now() + kWaitLimit;
  while (!TraceHas(loaded) && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(TraceHas(loaded));
}

// A validator that stops answering mid-download: timer 1 ends the download after 20 s with a
// message, the file is closed and polling goes on.
TEST_F(DownloadTest, NormalDownloadEndsWhenTheValidatorFallsSilent) {
  const TargetFile file = WriteTargetFile(dir_, 20000);
  ASSERT_NO_FATAL_FAILURE(StartDownload(file, ""));
  ASSERT_TRUE(WaitForLog("Download Data (", 3));
  ASSERT_TRUE(validator_.Command("fault drop").ok);
  const auto dropped = SteadyClock::now();
  ASSERT_TRUE(host_.WaitUntil(
      [&] {
        return host_.Err().find("MESSAGE: The download has been stopped") != std::string::npos;
      },
      std::chrono::seconds(40)));
  const auto waited = SteadyClock::now() - dropped;
  EXPECT_GE(waited, std::chrono::seconds(19));
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_NE(host_.Out().find(ReceivedText("Timeout Error.")), std::string::npos);
  const std::size_t stoppedAt = host_.Out().size();
  // Polling resumes: status requests go out again (the validator, still in its loader, answers
  // them with its download status).
  EXPECT_TRUE(WaitForLog(Sent("STATUS REQUEST", "FC 05 11 27 56"), 3, stoppedAt));
  EXPECT_EQ(host_.Err().find("downloaded successfully"), std::string::npos);
  ExpectCleanExit();
}

// The validator loses power in the middle of a download: the host stops the download with its
// message (the file closed, polling back), and once the validator has been reset a fresh
// download of the same file goes through and is verified.
TEST_F(DownloadTest, APowerCycleMidDownloadStopsItAndAFreshDownloadSucceeds) {
  const TargetFile file = WriteTargetFile(dir_, 60 * 1024);
  ASSERT_NO_FATAL_FAILURE(StartDownload(file, file.crc));
  ASSERT_TRUE(WaitForLog("Download Data (20%)"));
  ASSERT_TRUE(validator_.Command("powercycle").ok);
  ASSERT_TRUE(WaitForErr("MESSAGE: The download has been stopped"));
  EXPECT_EQ(host_.Err().find("downloaded successfully"), std::string::npos);

  // The reset's exchange must be over before the button is pressed, or the button refuses.
  const std::size_t from = host_.Out().size();
  ASSERT_NO_FATAL_FAILURE(ResetValidator(from));
  host_.Type("\n:normal-download\n");  // a command line starts a line; the reset key ended none
  ASSERT_TRUE(WaitForLog(ReceivedText("Program Check Verified-" + file.crc), 1, from));
  EXPECT_TRUE(WaitForErr("MESSAGE: The target file has been downloaded successfully."));
  ExpectCleanExit();
}

}  // namespace
