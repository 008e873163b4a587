#include "engine/comm_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeSerialLink;
using testing::FakeWindowServices;

std::string Join(const std::vector<std::string>& lines, std::string_view end) {
  std::string text;
  for (const auto& line : lines) text += line + std::string(end);
  return text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Fill(FrameLogRecord& record, std::string_view text, const std::vector<std::uint8_t>& bytes) {
  record = FrameLogRecord{};
  std::memcpy(record.logText.data(), text.data(), text.size());
  std::copy(bytes.begin(), bytes.end(), record.bytes.begin());
  record.byteCount = static_cast<std::int32_t>(bytes.size());
  FormatHex(record);
}

class CommLogTest : public ::testing::Test {
 protected:
  CommLogTest()
      : dir(fs::temp_directory_path() / ("tarvik_log_" + std::to_string(::getpid()))),
        logPath(dir / "comm.log") {
    fs::create_directories(dir);
  }
  ~CommLogTest() override {
    CloseLogFile(engine);
    fs::remove_all(dir);
  }

  fs::path dir;
  fs::path logPath;
  FakeWindowServices ui;
  FakeSerialLink link;
  FakeClock clock;
  Engine engine{ui, link, clock};
};

// --- Hex dump --------------------------------------------------------------------------------

struct HexCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  std::int32_t byteCount;
  std::string expected;
};

TEST(FormatHexTest, RendersExactlyTheCountedBytes) {
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  std::string allHex;
  for (std::size_t i = 0; i < 256; ++i) allHex += testing::Hex({all[i]}) + (i < 255 ? " " : "");

  const HexCase cases[] = {
      {"status request", {0xFC, 0x05, 0x11, 0x27, 0x56}, 5, "FC 05 11 27 56"},
      {"no bytes", {0xFC}, 0, ""},
      {"count below the bytes", {0x0A, 0xB0, 0xFF}, 2, "0A B0"},
      {"every byte value", all, 256, allHex},
      {"negative count", {0xFC}, -3, ""},
      {"count past the buffer", all, 4000, allHex},
  };
  for (const auto& c : cases) {
    FrameLogRecord record;
    std::copy(c.bytes.begin(), c.bytes.end(), record.bytes.begin());
    std::memset(record.hexText.data(), 'x', record.hexText.size());  // stale text is replaced
    record.byteCount = c.byteCount;
    FormatHex(record);
    EXPECT_EQ(std::string(record.hexText.data()), c.expected) << c.name;
  }
}

// --- Transmit lines ----------------------------------------------------------------------------

struct TxCase {
  const char* name;
  std::int32_t displayMode;
  std::string logText;
  std::vector<std::uint8_t> bytes;
  std::vector<std::string> lines;
};

class TransmitLineTest : public CommLogTest, public ::testing::WithParamInterface<TxCase> {};

TEST_P(TransmitLineTest, BoxAndFileCarryTheSameLines) {
  const TxCase& c = GetParam();
  engine.state.displayMode = c.displayMode;
  Fill(engine.tx, c.logText, c.bytes);
  ASSERT_TRUE(OpenLogFile(engine, logPath.string()));

  LogTransmittedFrame(engine);

  EXPECT_EQ(ui.GetLogText(), Join(c.lines, "\r\n"));
  CloseLogFile(engine);
  EXPECT_EQ(ReadFile(logPath), Join(c.lines, "\n"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    DisplayModes, TransmitLineTest,
    ::testing::Values(
        TxCase{"reset_full", kDisplayBinaryFull, "RESET COMMAND", {0xFC, 0x05, 0x40, 0x2B, 0x15},
               {"RESET COMMAND --->", "[FC 05 40 2B 15]"}},
        TxCase{"reset_limited", kDisplayTextLimited, "RESET COMMAND",
               {0xFC, 0x05, 0x40, 0x2B, 0x15}, {"RESET COMMAND --->"}},
        TxCase{"status_full", kDisplayBinaryFull, "STATUS REQUEST", {0xFC, 0x05, 0x11, 0x27, 0x56},
               {"STATUS REQUEST --->", "[FC 05 11 27 56]"}},
        TxCase{"download_full", kDisplayBinaryFull, "Download Data (100%)",
               {0xFC, 0x09, 0xD1, 0x00, 0x01, 0x00, 0x00, 0x9B, 0x3E},
               {"Download Data (100%) --->", "[FC 09 D1 00 01 00 00 9B 3E]"}}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// --- Receive lines -----------------------------------------------------------------------------

struct RxCase {
  const char* name;
  std::int32_t displayMode;
  std::int32_t pollingMode;
  std::uint8_t rxIsStatus;
  std::uint8_t statusChanged;
  FrameCheckResult check;
  std::string logText;
  std::vector<std::uint8_t> bytes;
  std::vector<std::string> lines;  // empty: nothing is shown or written
};

constexpr std::int32_t kFull = kDisplayBinaryFull;
constexpr std::int32_t kLimited = kDisplayTextLimited;
const std::vector<std::uint8_t> kStatusFrame{0xFC, 0x05, 0x11, 0x27, 0x56};
const std::vector<std::uint8_t> kBadCrcFrame{0xFC, 0x05, 0x11, 0x27, 0x57};
const FrameCheckResult kGood{};
const FrameCheckResult kCrcError{1, 0x5627, 0, 0};
const FrameCheckResult kLengthError{0, 0, 1, 5};
const FrameCheckResult kBothErrors{1, 0x5627, 1, 6};

class ReceiveLineTest : public CommLogTest, public ::testing::WithParamInterface<RxCase> {};

TEST_P(ReceiveLineTest, BoxAndFileCarryTheSameLines) {
  const RxCase& c = GetParam();
  EngineState& s = engine.state;
  s.displayMode = c.displayMode;
  s.pollingMode = c.pollingMode;
  s.rxIsStatus = c.rxIsStatus;
  s.statusChanged = c.statusChanged;
  engine.check = c.check;
  Fill(engine.rx, c.logText, c.bytes);
  ASSERT_TRUE(OpenLogFile(engine, logPath.string()));

  LogReceivedFrame(engine);

  EXPECT_EQ(ui.GetLogText(), Join(c.lines, "\r\n"));
  EXPECT_EQ(ui.CallsStartingWith("Log:").size(), c.lines.empty() ? 0u : 1u)
      << "an entry reaches the box in one piece";
  CloseLogFile(engine);
  EXPECT_EQ(ReadFile(logPath), Join(c.lines, "\n"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Lines, ReceiveLineTest,
    ::testing::Values(
        RxCase{"status_full", kFull, kPollingAuto, 1, 0, kGood, "Enable (Idling)", kStatusFrame,
               {"              <--- Enable (Idling)", "                   [FC 05 11 27 56]"}},
        RxCase{"status_limited_changed", kLimited, kPollingAuto, 1, 1, kGood, "Enable (Idling)",
               kStatusFrame, {"STATUS REQUEST--->", "              <--- Enable (Idling)"}},
        RxCase{"status_limited_unchanged", kLimited, kPollingAuto, 1, 0, kGood, "Enable (Idling)",
               kStatusFrame, {}},
        RxCase{"status_limited_manual_polling", kLimited, kPollingManu, 1, 0, kGood,
               "Enable (Idling)", kStatusFrame, {"              <--- Enable (Idling)"}},
        RxCase{"error_after_unchanged_status", kLimited, kPollingAuto, 0, 0, kGood,
               "Sync Byte Error.", {0x33}, {"              <--- Sync Byte Error."}},
        RxCase{"timeout_full", kFull, kPollingAuto, 0, 1, kGood,
               "300msec Timeout Error for Response.", {},
               {"              <--- 300msec Timeout Error for Response.", "                   []"}},
        RxCase{"crc_error_full", kFull, kPollingAuto, 1, 0, kCrcError, "Enable (Idling)",
               kBadCrcFrame,
               {"              <--- CRC Error : This value must be \"27\" \"56\" .",
                "                   [FC 05 11 27 57]"}},
        RxCase{"length_error_limited", kLimited, kPollingManu, 0, 0, kLengthError, "ignored",
               {0xFC, 0x06, 0x50, 0x00, 0x00, 0x00},
               {"              <--- Message Length Error : This value must be 5."}},
        // A status frame that failed its check is never hidden as an unchanged status.
        RxCase{"crc_error_on_unchanged_status_limited", kLimited, kPollingAuto, 1, 0, kCrcError,
               "Enable (Idling)", kBadCrcFrame,
               {"STATUS REQUEST--->",
                "              <--- CRC Error : This value must be \"27\" \"56\" ."}},
        RxCase{"length_error_on_unchanged_status_limited", kLimited, kPollingAuto, 1, 0,
               kLengthError, "Enable (Idling)", {0xFC, 0x06, 0x11, 0x00, 0x00, 0x00},
               {"STATUS REQUEST--->",
                "              <--- Message Length Error : This value must be 5."}},
        RxCase{"crc_error_comes_first", kLimited, kPollingManu, 0, 0, kBothErrors, "ignored",
               kBadCrcFrame,
               {"              <--- CRC Error : This value must be \"27\" \"56\" ."}}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// A text that fills the whole field and a 255-byte dump still reach box and file whole.
TEST_F(CommLogTest, LongestEntryIsNotCut) {
  std::vector<std::uint8_t> frame(255, 0xAB);
  Fill(engine.rx, std::string(255, 'T'), frame);
  engine.state.displayMode = kDisplayTextLimited;
  engine.state.pollingMode = kPollingAuto;
  engine.state.rxIsStatus = 1;
  engine.state.statusChanged = 1;
  LogReceivedFrame(engine);
  engine.state.displayMode = kDisplayBinaryFull;
  LogReceivedFrame(engine);
  const std::string expected =
      Join({"STATUS REQUEST--->", "              <--- " + std::string(255, 'T')}, "\r\n") +
      Join({"              <--- " + std::string(255, 'T'),
            "                   [" + testing::Hex(frame) + "]"},
           "\r\n");
  EXPECT_EQ(ui.GetLogText(), expected);
}

TEST_F(CommLogTest, SetRxLogTextCutsToTheField) {
  SetRxLogText(engine, std::string(300, 'a'));
  EXPECT_EQ(std::string(engine.rx.logText.data()), std::string(255, 'a'));
  SetRxLogText(engine, "Inhibit");
  EXPECT_EQ(std::string(engine.rx.logText.data()), "Inhibit");
}

// --- Log file ----------------------------------------------------------------------------------

TEST_F(CommLogTest, RecordingsAppendAndNothingIsWrittenWhileClosed) {
  Fill(engine.tx, "Ack", {0xFC, 0x05, 0x50, 0xAA, 0x05});
  engine.state.displayMode = kDisplayTextLimited;
  EXPECT_FALSE(IsLogFileOpen(engine));
  EXPECT_FALSE(CloseLogFile(engine));

  ASSERT_TRUE(OpenLogFile(engine, logPath.string()));
  EXPECT_TRUE(IsLogFileOpen(engine));
  LogTransmittedFrame(engine);
  EXPECT_EQ(ReadFile(logPath), "Ack --->\n") << "each entry is on disk at once";
  EXPECT_TRUE(CloseLogFile(engine));
  LogTransmittedFrame(engine);  // box only
  ASSERT_TRUE(OpenLogFile(engine, logPath.string()));
  LogTransmittedFrame(engine);
  CloseLogFile(engine);

  EXPECT_EQ(ReadFile(logPath), "Ack --->\nAck --->\n");
  EXPECT_EQ(ui.GetLogText(), "Ack --->\r\nAck --->\r\nAck --->\r\n");
}

TEST_F(CommLogTest, OpenFailureLeavesNoFile) {
  EXPECT_FALSE(OpenLogFile(engine, (dir / "missing" / "comm.log").string()));
  EXPECT_FALSE(IsLogFileOpen(engine));
}

// A full disk: the first failed write of a recording is reported once, with the file and the
// reason; the box keeps every entry and the program goes on. A new recording reports again.
TEST_F(CommLogTest, TheFirstFailedWriteOfARecordingIsReportedOnce) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to stand for a full disk";
  Fill(engine.tx, "Ack", {0xFC, 0x05, 0x50, 0xAA, 0x05});
  engine.state.displayMode = kDisplayTextLimited;
  const std::string report =
      "Message [!]: Log File Write Error! /dev/full: No space left on device. Lines are missing "
      "from the recording; press Stop and choose a file where there is room.";

  ASSERT_TRUE(OpenLogFile(engine, "/dev/full"));
  LogTransmittedFrame(engine);
  LogTransmittedFrame(engine);
  LogTransmittedFrame(engine);
  EXPECT_EQ(ui.CallsStartingWith("Message"), std::vector<std::string>{report});
  EXPECT_EQ(ui.GetLogText(), "Ack --->\r\nAck --->\r\nAck --->\r\n");
  EXPECT_TRUE(IsLogFileOpen(engine)) << "the recording goes on";

  CloseLogFile(engine);
  ASSERT_TRUE(OpenLogFile(engine, "/dev/full"));
  LogTransmittedFrame(engine);
  EXPECT_EQ(ui.CallsStartingWith("Message"), (std::vector<std::string>{report, report}));
}

// Two threads logging at once: every entry reaches box and file whole, and both see the same
// order. A third thread closing and reopening the file never meets a half-written entry; entries
// logged while the file is closed reach the box only, so the file holds a subsequence of the box.
// Each entry carries its own number so the order comparison cannot be fooled by look-alikes.
TEST_F(CommLogTest, EntriesFromTwoThreadsStayWholeAndInOneOrder) {
  engine.state.displayMode = kDisplayBinaryFull;
  engine.state.pollingMode = kPollingManu;
  const std::vector<std::uint8_t> txBytes{0xFC, 0x05, 0x41, 0xA2, 0x04};
  const std::vector<std::uint8_t> rxBytes{0xFC, 0x05, 0x17, 0x01, 0x02};
  ASSERT_TRUE(OpenLogFile(engine, logPath.string()));

  constexpr int kEntries = 60;  // stays below the box limit
  // Each thread fills only its own record, as the sender and the receiver do.
  std::thread sender([&] {
    for (int i = 0; i < kEntries; ++i) {
      Fill(engine.tx, "Stack 1 #" + std::to_string(i), txBytes);
      LogTransmittedFrame(engine);
    }
  });
  std::thread receiver([&] {
    for (int i = 0; i < kEntries; ++i) {
      Fill(engine.rx, "Stacking #" + std::to_string(i), rxBytes);
      LogReceivedFrame(engine);
    }
  });
  for (int i = 0; i < 20; ++i) {
    CloseLogFile(engine);
    OpenLogFile(engine, logPath.string());
  }
  sender.join();
  receiver.join();
  CloseLogFile(engine);

  const auto txEntry = [](int i) {
    return "Stack 1 #" + std::to_string(i) + " --->\n[FC 05 41 A2 04]\n";
  };
  const auto rxEntry = [](int i) {
    return "              <--- Stacking #" + std::to_string(i) +
           "\n                   [FC 05 17 01 02]\n";
  };
  std::vector<std::string> box;
  for (const auto& call : ui.CallsStartingWith("Log: ")) {
    std::string entry = call.substr(5);
    for (std::size_t at; (at = entry.find("\r\n")) != std::string::npos;)
      entry.replace(at, 2, "\n");
    box.push_back(entry);
  }
  // Each thread's entries reach the box whole and in its own order.
  std::vector<std::string> txSeen;
  std::vector<std::string> rxSeen;
  for (const auto& entry : box) (entry.rfind("Stack 1", 0) == 0 ? txSeen : rxSeen).push_back(entry);
  ASSERT_EQ(txSeen.size(), static_cast<std::size_t>(kEntries));
  ASSERT_EQ(rxSeen.size(), static_cast<std::size_t>(kEntries));
  for (int i = 0; i < kEntries; ++i) {
    EXPECT_EQ(txSeen[i], txEntry(i));
    EXPECT_EQ(rxSeen[i], rxEntry(i));
  }

  // The file is whole entries only (two lines each), in the box's order.
  const std::string file = ReadFile(logPath);
  std::vector<std::string> inFile;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t first = file.find('\n', at);
    const std::size_t second = first == std::string::npos ? first : file.find('\n', first + 1);
    ASSERT_NE(second, std::string::npos) << "a cut entry at the end of the file";
    inFile.push_back(file.substr(at, second + 1 - at));
    at = second + 1;
  }
  EXPECT_FALSE(inFile.empty());
  std::size_t next = 0;
  for (const auto& entry : box) {
    if (next < inFile.size() && inFile[next] == entry) ++next;
  }
  EXPECT_EQ(next, inFile.size()) << "file entry " << next << " is broken or out of order: "
                                 << (next < inFile.size() ? inFile[next] : "");
}

// --- The box limit -----------------------------------------------------------------------------

struct CapCase {
  const char* name;
  std::size_t boxSize;
  std::size_t lineLength;  // of the lines already in the box, CR LF included
  std::size_t entrySize;
};

TEST(LogBoxLimitTest, KeepsWholeNewestLinesWithinTheLimit) {
  const CapCase cases[] = {
      {"27,990 plus 40", 27990, 30, 40},
      {"just at the limit", 27960, 30, 40},
      {"long lines", 27990, 1000, 40},
      {"entry larger than the limit", 100, 20, 28010},
  };
  for (const auto& c : cases) {
    std::string box;
    for (std::size_t i = 0; box.size() < c.boxSize; ++i) {
      std::string line = std::to_string(i) + ":";
      line.resize(std::min(c.lineLength, c.boxSize - box.size()) - 2, '.');
      box += line + "\r\n";
    }
    ASSERT_EQ(box.size(), c.boxSize) << c.name;
    std::string entry(c.entrySize - 2, 'E');
    entry += "\r\n";
    const std::string full = box + entry;

    AppendToLogBoxText(box, entry);

    EXPECT_LE(box.size(), kLogBoxLimit) << c.name;
    ASSERT_GE(full.size(), box.size()) << c.name;
    const std::size_t cut = full.size() - box.size();
    EXPECT_EQ(full.substr(cut), box) << c.name << ": only the oldest text goes";
    if (cut == 0) continue;
    EXPECT_EQ(full[cut - 1], '\n') << c.name << ": the box starts at the start of a line";
    // No fewer lines could have gone: keeping the last removed line would pass the limit.
    const std::size_t previousStart = full.rfind('\n', cut - 2);
    const std::size_t keptWithOneMore =
        full.size() - (previousStart == std::string::npos ? 0 : previousStart + 1);
    EXPECT_GT(keptWithOneMore, kLogBoxLimit) << c.name;
  }
}

TEST(LogBoxLimitTest, TextWithoutLineBreakPastTheLimitEmptiesTheBox) {
  std::string box(27990, 'x');
  AppendToLogBoxText(box, std::string(40, 'y'));
  EXPECT_EQ(box, "");
}

}  // namespace
}  // namespace tarvik
