// The acceptance-data and Ad-data transfers, and the checksum as the host verifies it.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "validator/acceptance_image.h"
#include "validator/virtual_validator.h"
#include "validator_test_support.h"

namespace tarvik::validator {
namespace {

using testing::Answers;
using testing::HostFrame;
using testing::ParseHex;

// The host's verdict, written out from its rule rather than taken from the validator's code:
// M is the complement of the 32-bit sum of raw bytes 0..4533; A is the checksum slot (offset
// 4532, little-endian) after the host turns v into v * 256 + v / 256.
bool HostAcceptsChecksum(const std::vector<std::uint8_t>& image) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 4534; ++i) sum += image[i];
  const std::uint32_t m = ~sum;
  const std::uint32_t v = image[4532] | image[4533] << 8 | image[4534] << 16 |
                          static_cast<std::uint32_t>(image[4535]) << 24;
  const std::uint32_t a = v * 256u + v / 256u;
  return a == m;
}

TEST(AcceptanceImageTest, SealedImagesPassTheHostCheck) {
  // Images the validator builds, and contents far from them: all zero, all 0xFF, noise.
  std::vector<std::vector<std::uint8_t>> images;
  for (std::uint32_t seed = 0; seed < 20; ++seed)
    images.push_back(BuildAcceptanceImage(seed, seed * 7));
  images.emplace_back(kAcceptanceImageSize, 0x00);
  images.emplace_back(kAcceptanceImageSize, 0xFF);
  std::vector<std::uint8_t> noise(kAcceptanceImageSize);
  std::uint32_t x = 12345;
  for (auto& byte : noise) byte = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  images.push_back(noise);

  for (std::size_t i = 0; i < images.size(); ++i) {
    SCOPED_TRACE(i);
    std::vector<std::uint8_t> image = images[i];
    EXPECT_FALSE(i >= 20 && HostAcceptsChecksum(image)) << "the unsealed image already passes";
    ASSERT_TRUE(SealAcceptanceImage(image));
    EXPECT_TRUE(HostAcceptsChecksum(image));
    // Sealing touches the checksum slot and the free byte only.
    for (std::size_t b = 0; b < kAcceptanceFreeByte; ++b) ASSERT_EQ(image[b], images[i][b]) << b;
  }
}

class TransferTest : public ::testing::TestWithParam<bool> {};

// Receives a whole transfer as the host does, acknowledging every frame, and returns the image
// the blocks carried. Every frame must be the expected one in order, and blocks must be
// contiguous and within the block size.
std::vector<std::uint8_t> ReceiveTransfer(VirtualValidator& validator, bool ad, int blockSize,
                                          Millis now) {
  const std::uint8_t blockCode = ad ? 0xE4 : 0xE1;
  const std::uint8_t endCode = ad ? 0xE5 : 0xE2;
  std::vector<std::uint8_t> image;
  auto answers = Answers(validator.Poll(now));
  if (ad) {
    EXPECT_EQ(answers, std::vector<std::string>{"E3"});
    answers = Answers(validator.Feed(HostFrame(0x50), now));
  }
  for (int frames = 0; frames < 5000; ++frames) {
    if (answers.size() != 1) {
      ADD_FAILURE() << "expected one frame, got " << answers.size();
      return image;
    }
    const auto bytes = ParseHex(answers[0]);
    if (bytes[0] == endCode) {
      EXPECT_EQ(bytes.size(), 1u);
      EXPECT_TRUE(Answers(validator.Feed(HostFrame(0x50), now)).empty());
      return image;
    }
    EXPECT_EQ(bytes[0], blockCode);
    const std::size_t offset = bytes[1] | bytes[2] << 8;
    EXPECT_EQ(offset, image.size());
    EXPECT_LE(bytes.size() - 3, static_cast<std::size_t>(blockSize));
    EXPECT_GT(bytes.size(), 3u);
    image.insert(image.end(), bytes.begin() + 3, bytes.end());
    answers = Answers(validator.Feed(HostFrame(0x50), now));
  }
  ADD_FAILURE() << "the transfer did not end";
  return image;
}

TEST_P(TransferTest, BlocksFollowEachAckAndCoverTheImage) {
  const bool ad = GetParam();
  for (const int blockSize : {24, 248, 1}) {
    SCOPED_TRACE(blockSize);
    ValidatorTimings timings;
    timings.blockSize = blockSize;
    VirtualValidator validator(timings);
    ASSERT_TRUE(validator.Command(ad ? "ad" : "acceptance", 0).ok);
    const auto image = ReceiveTransfer(validator, ad, blockSize, 0);
    ASSERT_EQ(image.size(), ad ? kAdImageSize : kAcceptanceImageSize);
    if (!ad) {
      EXPECT_TRUE(HostAcceptsChecksum(image));
    }
    // After the end the host's Ack settles nothing more: a further Ack is answered plainly.
    EXPECT_EQ(testing::Joined(validator.Feed(HostFrame(0x50), 0)), "50");
  }
}

INSTANTIATE_TEST_SUITE_P(AcceptanceAndAd, TransferTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Ad" : "Acceptance"; });

TEST(TransferTest, HostRequestStartsTheAcceptanceTransfer) {
  VirtualValidator validator;
  const auto first = Answers(validator.Feed(HostFrame(0xE1), 0));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].starts_with("E1 00 00 ")) << first[0];
}

// Init Log brings the Ad data, as Read Log brings the acceptance data.
TEST(TransferTest, HostInitStartsTheAdTransfer) {
  VirtualValidator validator;
  const std::vector<std::uint8_t> dateAndMachine(28, 0x30);
  EXPECT_EQ(Answers(validator.Feed(HostFrame(0xE0, dateAndMachine), 0)),
            std::vector<std::string>{"E3"});
  const auto block = Answers(validator.Feed(HostFrame(0x50), 0));
  ASSERT_EQ(block.size(), 1u);
  EXPECT_TRUE(block[0].starts_with("E4 00 00 ")) << block[0];
}

TEST(TransferTest, BadChecksumTransferFailsTheHostCheck) {
  for (const char* command : {"acceptance", "acceptance bad"}) {
    SCOPED_TRACE(command);
    VirtualValidator validator;
    ASSERT_TRUE(validator.Command(command, 0).ok);
    const auto image = ReceiveTransfer(validator, false, 24, 0);
    ASSERT_EQ(image.size(), kAcceptanceImageSize);
    EXPECT_EQ(HostAcceptsChecksum(image), std::string_view(command) == "acceptance");
  }
  VirtualValidator validator;
  EXPECT_FALSE(validator.Command("acceptance worse", 0).ok);
  EXPECT_FALSE(validator.Command("ad bad", 0).ok);
}

TEST(TransferTest, UnacknowledgedFrameIsSentAgainThenGivenUp) {
  ValidatorTimings timings;
  timings.blockAckTimeoutMs = 1000;
  timings.blockRetries = 2;
  VirtualValidator validator(timings);
  ASSERT_TRUE(validator.Command("acceptance", 0).ok);
  const auto first = Answers(validator.Poll(0));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(Answers(validator.Poll(999)).empty());
  EXPECT_EQ(Answers(validator.Poll(1000)), first);
  EXPECT_EQ(Answers(validator.Poll(2000)), first);
  EXPECT_TRUE(Answers(validator.Poll(3000)).empty()) << "given up after two repeats";
  EXPECT_FALSE(validator.NextDue().has_value());
  EXPECT_TRUE(validator.Command("acceptance", 3000).ok) << "a new transfer may start";
}

TEST(TransferTest, SecondTransferRefusedWhileOneRuns) {
  VirtualValidator validator;
  ASSERT_TRUE(validator.Command("acceptance", 0).ok);
  EXPECT_FALSE(validator.Command("ad", 0).ok);
  EXPECT_FALSE(validator.Command("acceptance", 0).ok);
}

}  // namespace
}  // namespace tarvik::validator
