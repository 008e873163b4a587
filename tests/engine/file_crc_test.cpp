#include "engine/file_crc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "support/fake_window_services.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;

class FileCrcTest : public ::testing::Test {
 protected:
  FileCrcTest() : dir(fs::temp_directory_path() / ("tarvik_crc_" + std::to_string(::getpid()))) {
    fs::create_directories(dir);
  }
  ~FileCrcTest() override { fs::remove_all(dir); }

  fs::path Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path path = dir / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  fs::path dir;
  testing::FakeWindowServices ui;
  testing::FakeSerialLink link;
  testing::FakeClock clock;
  Engine engine{ui, link, clock};
};

TEST_F(FileCrcTest, EmptyFileGivesTheSeed) {
  engine.download.targetFileCrc = 0xBEEF;
  EXPECT_TRUE(CalcFileCrc(engine, Write("empty.bin", {}).string()));
  EXPECT_EQ(engine.download.targetFileCrc, 0x0000u);
}

TEST_F(FileCrcTest, SmallFileMatchesTheFrameCrc) {
  const std::vector<std::uint8_t> bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_TRUE(CalcFileCrc(engine, Write("check.bin", bytes).string()));
  EXPECT_EQ(engine.download.targetFileCrc, 0x2189u);
}

TEST_F(FileCrcTest, OnlyTheFirstMebibyteCounts) {
  std::vector<std::uint8_t> big(2u << 20);
  std::mt19937 random(7);
  for (auto& b : big) b = static_cast<std::uint8_t>(random());
  const std::vector<std::uint8_t> first(big.begin(), big.begin() + (1u << 20));
  ASSERT_TRUE(CalcFileCrc(engine, Write("first.bin", first).string()));
  const auto firstCrc = engine.download.targetFileCrc.load();
  ASSERT_TRUE(CalcFileCrc(engine, Write("big.bin", big).string()));
  EXPECT_EQ(engine.download.targetFileCrc, firstCrc);
  EXPECT_EQ(firstCrc, CalcCrc(first.data(), first.size()));
}

TEST_F(FileCrcTest, UnreadableFileLeavesNoStaleCrc) {
  ASSERT_TRUE(CalcFileCrc(engine, Write("check.bin", {'1', '2', '3'}).string()));
  ASSERT_NE(engine.download.targetFileCrc, 0u);
  EXPECT_FALSE(CalcFileCrc(engine, (dir / "missing.bin").string()));
  EXPECT_EQ(engine.download.targetFileCrc, 0u);
  ASSERT_TRUE(CalcFileCrc(engine, Write("check.bin", {'1', '2', '3'}).string()));
  EXPECT_FALSE(CalcFileCrc(engine, dir.string()));  // a directory opens but cannot be read
  EXPECT_EQ(engine.download.targetFileCrc, 0u);
}

}  // namespace
}  // namespace tarvik
