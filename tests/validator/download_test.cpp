// The program download as the host drives it: start, then for every packet a status request
// (READY) and the data frame, then the end with the check result.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "protocol/frame.h"
#include "validator/virtual_validator.h"
#include "validator_test_support.h"

namespace tarvik::validator {
namespace {

using testing::Answers;
using testing::HostFrame;
using testing::Joined;

std::vector<std::uint8_t> ProgramFile(std::size_t size) {
  std::vector<std::uint8_t> file(size);
  for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 31 + (i >> 7));
  return file;
}

std::vector<std::uint8_t> DataFrame(std::uint32_t address, std::span<const std::uint8_t> packet,
                                    std::uint8_t sync = kSyncByte) {
  std::vector<std::uint8_t> data = {
      static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
      static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
  data.insert(data.end(), packet.begin(), packet.end());
  return HostFrame(0xD1, data, sync);
}

std::string CheckAnswer(bool verified, std::uint16_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "D3 %02X %02X %02X", verified ? 0x00 : 0x80, crc >> 8,
                crc & 0xFF);
  return text;
}

class DownloadTest : public ::testing::Test {
 protected:
  std::string Host(std::uint8_t code) { return Joined(validator_.Feed(HostFrame(code), now_)); }
  std::string Host(const std::vector<std::uint8_t>& frame) {
    return Joined(validator_.Feed(frame, now_));
  }

  // Sends `file` in packets of `packetSize` the way the host does, a status request before
  // each packet, and one empty packet when the size is a whole number of packets. `skip` leaves
  // one packet out; `repeat` sends one packet twice.
  void SendFile(const std::vector<std::uint8_t>& file, std::size_t packetSize,
                std::optional<std::size_t> skip = {}, std::optional<std::size_t> repeat = {}) {
    ASSERT_EQ(Host(0xD0), "50");
    std::size_t offset = 0;
    std::size_t index = 0;
    bool lastWasFull = true;
    while (offset < file.size() || lastWasFull) {
      const std::size_t n = std::min(packetSize, file.size() - offset);
      lastWasFull = n == packetSize;
      ASSERT_EQ(Host(0x11), "D4 00");
      const std::span packet(file.data() + offset, n);
      const auto frame = DataFrame(static_cast<std::uint32_t>(offset), packet);
      if (index != skip) {
        ASSERT_EQ(Host(frame), "50");
      }
      if (index == repeat) {
        ASSERT_EQ(Host(frame), "50");
      }
      offset += n;
      ++index;
      if (n == 0) break;
    }
    ASSERT_EQ(Host(0x11), "D4 00");
  }

  // The signature the validator reports for its program, from the seed 0000.
  std::string Signature() {
    EXPECT_EQ(Host(std::vector<std::uint8_t>(HostFrame(0xDC, std::vector<std::uint8_t>{0, 0}))),
              "50");
    EXPECT_EQ(Host(0x11), "DE");
    const std::string signature = Host(0x11);
    EXPECT_EQ(Host(0x50), "");
    return signature;
  }

  VirtualValidator validator_;
  Millis now_ = 0;
};

TEST_F(DownloadTest, CheckResultCarriesTheCrcOfWhatArrived) {
  struct Case {
    std::size_t size;
    std::size_t packet;
  };
  // An odd size, a whole number of packets (ends with an empty packet), one-byte packets.
  for (const Case c : {Case{1000, 246}, Case{246 * 4, 246}, Case{64, 1}}) {
    SCOPED_TRACE(c.size);
    const auto file = ProgramFile(c.size);
    SendFile(file, c.packet);
    const std::uint16_t crc = CalcCrc(file);
    EXPECT_EQ(Host(0xD2), CheckAnswer(true, crc));
    EXPECT_EQ(Host(0x50), "") << "the host's Ack of the check result is not answered";
    EXPECT_EQ(Host(0x11), "40") << "a loaded validator starts again";
    char expected[16];
    std::snprintf(expected, sizeof expected, "DF %02X %02X", crc >> 8, crc & 0xFF);
    EXPECT_EQ(Signature(), expected);
  }
}

TEST_F(DownloadTest, BrokenContinuityFailsTheCheckAndKeepsTheOldProgram) {
  const std::string before = Signature();
  const auto file = ProgramFile(1000);
  SendFile(file, 100, /*skip=*/3);
  std::vector<std::uint8_t> arrived(file.begin(), file.begin() + 300);
  arrived.insert(arrived.end(), file.begin() + 400, file.end());
  EXPECT_EQ(Host(0xD2), CheckAnswer(false, CalcCrc(arrived)));
  EXPECT_EQ(Host(0x50), "");
  EXPECT_EQ(Signature(), before);
}

TEST_F(DownloadTest, RepeatedPacketIsTakenOnce) {
  const auto file = ProgramFile(1000);
  SendFile(file, 100, {}, /*repeat=*/5);
  EXPECT_EQ(Host(0xD2), CheckAnswer(true, CalcCrc(file)));
}

TEST_F(DownloadTest, ExpectedCrcDecidesTheResult) {
  const auto file = ProgramFile(500);
  const std::uint16_t crc = CalcCrc(file);
  char command[24];
  std::snprintf(command, sizeof command, "expect-crc %04X", crc ^ 0x0101);
  ASSERT_TRUE(validator_.Command(command, now_).ok);
  SendFile(file, 200);
  EXPECT_EQ(Host(0xD2), CheckAnswer(false, crc));
  std::snprintf(command, sizeof command, "expect-crc %04X", crc);
  ASSERT_TRUE(validator_.Command(command, now_).ok);
  SendFile(file, 200);
  EXPECT_EQ(Host(0xD2), CheckAnswer(true, crc));
}

TEST_F(DownloadTest, TooShortForAHeaderFails) {
  const auto file = ProgramFile(13);
  SendFile(file, 246);
  EXPECT_EQ(Host(0xD2), CheckAnswer(false, CalcCrc(file)));
}

TEST_F(DownloadTest, BusyAnswersOnCommandThenReady) {
  ASSERT_EQ(Host(0xD0), "50");
  ASSERT_TRUE(validator_.Command("busy 2", now_).ok);
  EXPECT_EQ(Host(0x11), "D4 80");
  EXPECT_EQ(Host(0x11), "D4 80");
  EXPECT_EQ(Host(0x11), "D4 00");
  EXPECT_EQ(Host(0x11), "D4 00");
}

TEST_F(DownloadTest, OtherCommandsRefusedWhileLoadingAndResetAbandons) {
  ASSERT_EQ(Host(0xD0), "50");
  EXPECT_EQ(Host(0x88), "4B");
  EXPECT_EQ(Host(0x41), "4B");
  EXPECT_EQ(Host(0x40), "50");
  EXPECT_EQ(Host(0x11), "1B");
  EXPECT_EQ(Host(0xD2), "4B");
}

// A global download goes to the broadcast address: everything is taken, nothing answered, and
// the validator ends up with the program.
TEST_F(DownloadTest, GlobalDownloadIsSilentAndLoadsTheProgram) {
  const auto file = ProgramFile(700);
  std::vector<std::uint8_t> out;
  const auto take = [&](const std::vector<std::uint8_t>& frame) {
    const auto bytes = validator_.Feed(frame, now_);
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  take(HostFrame(0xC3, std::vector<std::uint8_t>{0x01}, kBroadcastAddress));
  take(HostFrame(0xD0, {}, kBroadcastAddress));
  for (std::size_t offset = 0; offset < file.size(); offset += 246) {
    const std::size_t n = std::min<std::size_t>(246, file.size() - offset);
    take(DataFrame(static_cast<std::uint32_t>(offset), std::span(file.data() + offset, n),
                   kBroadcastAddress));
  }
  take(HostFrame(0xD2, {}, kBroadcastAddress));
  now_ += 60000;
  const auto later = validator_.Poll(now_);
  EXPECT_TRUE(out.empty()) << testing::ToHex(out);
  EXPECT_TRUE(later.empty());
  EXPECT_EQ(Host(0x11), "40");
  EXPECT_EQ(Host(0x50), "50") << "no check result was sent, so no Ack is awaited";
  const std::uint16_t crc = CalcCrc(file);
  char expected[16];
  std::snprintf(expected, sizeof expected, "DF %02X %02X", crc >> 8, crc & 0xFF);
  EXPECT_EQ(Signature(), expected);
  EXPECT_EQ(Host(0x83), "83 01");
}

}  // namespace
}  // namespace tarvik::validator
