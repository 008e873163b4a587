// The acceptance-data and Ad-data frames through the receiver and the dispatcher: what each
// logs, stores and acknowledges, and the files it leaves in a directory of the test's own.
#include "engine/acceptance_reading.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "dispatch_fixture.h"
#include "engine/acceptance_data.h"
#include "support/scratch_dir.h"

namespace tarvik {
namespace {

using testing::MakeFrame;
using Bytes = std::vector<std::uint8_t>;

Bytes Block(std::uint8_t code, std::size_t offset, const Bytes& bytes) {
  Bytes data{static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(offset >> 8)};
  data.insert(data.end(), bytes.begin(), bytes.end());
  return MakeFrame(code, data);
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// An image the checksum accepts: bytes 4532..4535 are 00 00 FF FF, which converts to FFFFFF00,
// the complement of a byte sum of 0xFF. One head count, the rest in an unconverted byte.
Bytes GoodImage() {
  Bytes image(4536, 0);
  image[4] = 0x01;  // H[0][0]
  image[4492] = 0xFE;
  image[4534] = 0xFF;
  image[4535] = 0xFF;
  return image;
}

class AcceptanceReadingTest : public ::testing::Test, public testing::DispatchFixture {
 protected:
  AcceptanceReadingTest() {
    engine.acceptance.acceptanceFileName = (dir_ / "LOG.dat").string();
    engine.acceptance.adDataFileName = (dir_ / "ADDATA.dat").string();
  }

  // Sends the image in blocks of `blockSize`, then the end frame; each frame is acknowledged and
  // ends its exchange.
  void Transfer(const Bytes& image, std::size_t blockSize = 200) {
    for (std::size_t at = 0; at < image.size(); at += blockSize) {
      const auto end = image.begin() + static_cast<long>(std::min(image.size(), at + blockSize));
      ExpectAcknowledged(Block(0xE1, at, Bytes(image.begin() + static_cast<long>(at), end)));
    }
    ExpectAcknowledged(MakeFrame(0xE2));
  }

  void ExpectAcknowledged(const Bytes& frame) {
    EXPECT_EQ(Receive(frame), 1) << "the exchange ends";
    EXPECT_EQ(FollowUp(), 0x50) << "an Ack is queued";
    std::lock_guard lock(engine.state.queueMutex);
    engine.state.commandQueued.store(0);
  }

  std::filesystem::path LogDat() const { return dir_ / "LOG.dat"; }

  testing::ScratchDir scratch_{"acceptance"};
  const std::filesystem::path dir_ = scratch_.Path();
};

TEST_F(AcceptanceReadingTest, BlocksAreStoredWithinTheBufferLoggedAndAcknowledged) {
  struct Case {
    Bytes frame;
    std::string text;
    std::size_t from, stored;  // where the 0x55 bytes land in acceptanceData or adData
    bool ad;
  };
  const Case cases[] = {
      {Block(0xE1, 0, Bytes(24, 0x55)), "Acceptance Data (offset:00000)", 0, 24, false},
      {Block(0xE1, 4530, Bytes(10, 0x55)), "Acceptance Data (offset:04530)", 4530, 6, false},
      {Block(0xE1, 4537, Bytes(10, 0x55)), "Acceptance Data (offset:04537)", 0, 0, false},
      {Block(0xE1, 12, {}), "Acceptance Data (offset:00012)", 0, 0, false},  // LNG 7
      {Block(0xE4, 3205, Bytes(10, 0x55)), "Ad Data (offset:03205)", 3205, 5, true},
      {Block(0xE4, 65535, Bytes(3, 0x55)), "Ad Data (offset:65535)", 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    engine.acceptance.acceptanceData.fill(0xAA);
    engine.acceptance.adData.fill(0xAA);
    ui.ClearCalls();
    ExpectAcknowledged(c.frame);
    EXPECT_EQ(ArrowTexts(), std::vector<std::string>{c.text});
    const std::span<const std::uint8_t> buffer =
        c.ad ? std::span<const std::uint8_t>(engine.acceptance.adData)
             : std::span<const std::uint8_t>(engine.acceptance.acceptanceData);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const bool inside = c.stored > 0 && i >= c.from && i < c.from + c.stored;
      ASSERT_EQ(buffer[i], inside ? 0x55 : 0xAA) << i;
    }
  }
}

TEST_F(AcceptanceReadingTest, BlockFrameTooShortForItsOffsetIsALengthError) {
  EXPECT_EQ(Receive(MakeFrame(0xE1, {0x00})), 1);
  EXPECT_EQ(ArrowTexts(), std::vector<std::string>{"Message Length Error : This value must be 7."});
  EXPECT_EQ(FollowUp(), -1);
}

TEST_F(AcceptanceReadingTest, GoodChecksumSavesImageAndStatisticsOverALargerFile) {
  WriteFile(LogDat(), Bytes(10000, 0x77));
  Transfer(GoodImage());
  const auto texts = ArrowTexts();
  ASSERT_GE(texts.size(), 2U);
  EXPECT_EQ(texts[texts.size() - 2], "Acceptance Data End");
  EXPECT_EQ(texts.back(), "Check Sum A:FFFFFF00,M:FFFFFF00");

  const Bytes saved = ReadFile(LogDat());
  ASSERT_EQ(saved.size(), 5364U);
  // H[0][0] = 01 00 00 00 converts to 256; the checksum slot to 00 FF FF FF.
  EXPECT_EQ(saved[4], 0x00);
  EXPECT_EQ(saved[5], 0x01);
  EXPECT_EQ(saved[4492], 0xFE);
  EXPECT_EQ((Bytes(saved.begin() + 4532, saved.begin() + 4536)), (Bytes{0x00, 0xFF, 0xFF, 0xFF}));
  // Statistics: value 1 (head total) is 256, value 0 the ratio R(256, 0) = 1,000.
  EXPECT_EQ((Bytes(saved.begin() + 4536, saved.begin() + 4544)),
            (Bytes{0xE8, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "LOG.dat.tmp"));
}

TEST_F(AcceptanceReadingTest, AllZeroImageFailsTheChecksumAndKeepsTheEarlierFile) {
  const Bytes earlier(5364, 0x42);
  WriteFile(LogDat(), earlier);
  Transfer(Bytes(4536, 0));
  EXPECT_EQ(ArrowTexts().back(), "Check Sum Error A:0000,M:FFFFFFFF");
  EXPECT_EQ(ReadFile(LogDat()), earlier);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "LOG.dat.tmp"));
}

// Running as root, permissions do not stop a write; a working directory that is not a
// directory does.
TEST_F(AcceptanceReadingTest, UnwritableDirectoryIsAFileOpenError) {
  WriteFile(dir_ / "plain", {1});
  engine.acceptance.acceptanceFileName = (dir_ / "plain" / "LOG.dat").string();
  engine.acceptance.adDataFileName = (dir_ / "plain" / "ADDATA.dat").string();
  Transfer(GoodImage());
  EXPECT_EQ(ArrowTexts().back(), "File Open Error");

  ui.ClearCalls();
  ExpectAcknowledged(MakeFrame(0xE5));
  EXPECT_EQ(ArrowTexts(), (std::vector<std::string>{"Ad Data End", "File Open Error"}));

  ui.ClearCalls();
  engine.acceptance.adDataFileName.clear();
  ExpectAcknowledged(MakeFrame(0xE5));
  EXPECT_EQ(ArrowTexts(), (std::vector<std::string>{"Ad Data End", "File Open Error"}));
}

// A disk that fills up during the save: the file size limit cuts the writes short. Each short
// write logs "Save Error", and the earlier "LOG.dat" stays whole. Run in a child process, as
// the limit is the process's.
TEST_F(AcceptanceReadingTest, ShortWritesLogSaveErrorAndKeepTheEarlierFile) {
  struct Case {
    rlim_t limit;
    std::size_t saveErrors;  // the image write, the statistics write or both come short
  };
  const Bytes earlier(5364, 0x42);
  for (const Case& c : {Case{1000, 2}, Case{5000, 1}}) {
    SCOPED_TRACE(c.limit);
    WriteFile(LogDat(), earlier);
    const auto saveUnderLimit = [&] {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{c.limit, c.limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      Transfer(GoodImage());
      const auto texts = ArrowTexts();
      std::size_t errors = 0;
      for (const std::string& text : texts) errors += text == "Save Error" ? 1 : 0;
      const bool ok = errors == c.saveErrors && texts.back() == "Save Error" &&
                      ReadFile(LogDat()) == earlier &&
                      !std::filesystem::exists(dir_ / "LOG.dat.tmp");
      std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(saveUnderLimit(), ::testing::ExitedWithCode(0), "");
  }
}

TEST_F(AcceptanceReadingTest, AdTransferAppendsOneRecordEach) {
  Bytes first(3210);
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<std::uint8_t>(i % 251 + 1);
  for (int transfer = 0; transfer < 2; ++transfer) {
    ui.ClearCalls();
    engine.acceptance.adData.fill(0xAA);  // cleared by the start
    ExpectAcknowledged(MakeFrame(0xE3));
    // The second transfer leaves out the tail: those bytes are zero in its record.
    const std::size_t length = transfer == 0 ? first.size() : 3000;
    for (std::size_t at = 0; at < length; at += 100) {
      const std::size_t end = std::min(length, at + 100);
      ExpectAcknowledged(Block(
          0xE4, at,
          Bytes(first.begin() + static_cast<long>(at), first.begin() + static_cast<long>(end))));
    }
    ExpectAcknowledged(MakeFrame(0xE5));
    const auto texts = ArrowTexts();
    EXPECT_EQ(texts.front(), "Ad Data Read");
    EXPECT_EQ(texts.back(), "Ad Data End");
  }
  const Bytes file = ReadFile(dir_ / "ADDATA.dat");
  ASSERT_EQ(file.size(), 2U * 3715U);
  for (std::size_t record = 0; record < 2; ++record) {
    SCOPED_TRACE(record);
    const std::size_t sent = record == 0 ? 3210 : 3000;
    const auto at = [&](std::size_t i) { return file[3715 * record + i]; };
    const auto image = [&](std::size_t i) -> std::uint8_t { return i < sent ? first[i] : 0; };
    for (std::size_t i = 0; i < 3200; ++i) ASSERT_EQ(at(i), image(i)) << i;
    for (std::size_t i = 3200; i < 3712; ++i) ASSERT_EQ(at(i), 0) << i;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(at(3712 + i), image(3200 + i));
  }
}

}  // namespace
}  // namespace tarvik
