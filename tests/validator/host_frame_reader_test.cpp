#include "validator/host_frame_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "validator_test_support.h"

namespace tarvik::validator {
namespace {

using testing::HostFrame;
using testing::ParseHex;
using testing::ToHex;

// Events written as "F <hex>" (frame), "B <hex>" (bad frame) and "S <hex>" (stray bytes).
std::vector<std::string> Describe(const std::vector<ReaderEvent>& events) {
  std::vector<std::string> out;
  for (const ReaderEvent& e : events) {
    const char kind = e.kind == ReaderEvent::Kind::Frame      ? 'F'
                      : e.kind == ReaderEvent::Kind::BadFrame ? 'B'
                                                              : 'S';
    out.push_back(std::string(1, kind) + " " + ToHex(e.bytes));
  }
  return out;
}

struct StreamCase {
  const char* name;
  const char* bytes;
  std::vector<std::string> events;
};

class ReaderStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReaderStreamTest, WholeAndByteByByteGiveTheSameEvents) {
  const StreamCase& c = GetParam();
  const auto bytes = ParseHex(c.bytes);
  {
    HostFrameReader reader;
    std::vector<ReaderEvent> events;
    reader.Push(bytes, 0, events);
    EXPECT_EQ(Describe(events), c.events) << "in one piece";
  }
  HostFrameReader reader;
  std::vector<ReaderEvent> events;
  for (std::uint8_t byte : bytes) reader.Push(std::span(&byte, 1), 0, events);
  // Byte by byte a stray run is reported per byte; join runs to compare.
  std::vector<std::string> joined;
  for (const std::string& e : Describe(events)) {
    if (!joined.empty() && e[0] == 'S' && joined.back()[0] == 'S') {
      joined.back() += e.substr(1);
    } else {
      joined.push_back(e);
    }
  }
  EXPECT_EQ(joined, c.events) << "byte by byte";
}

const StreamCase kStreams[] = {
    {"OneFrame", "FC 05 11 27 56", {"F FC 05 11 27 56"}},
    {"BroadcastFrame", "F0 05 11 84 F3", {"F F0 05 11 84 F3"}},
    {"StrayBytesFirst", "00 12 FC 05 11 27 56", {"S 00 12", "F FC 05 11 27 56"}},
    {"BadCrcThenGoodFrame",
     "FC 05 11 27 57 FC 05 40 2B 15",
     {"B FC 05 11 27 57", "S 05 11 27 57", "F FC 05 40 2B 15"}},
    {"LengthBelowMinimumResynchronises",
     "FC 02 FC 05 11 27 56",
     {"B FC 02", "S 02", "F FC 05 11 27 56"}},
    // A frame inside a rejected one is found when the rejected bytes are searched again.
    {"FrameHiddenBehindFalseSync",
     "F0 0A FC 05 11 27 56 00 00 00",
     {"B F0 0A FC 05 11 27 56 00 00 00", "S 0A", "F FC 05 11 27 56", "S 00 00 00"}},
};

INSTANTIATE_TEST_SUITE_P(Streams, ReaderStreamTest, ::testing::ValuesIn(kStreams),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ReaderTest, RandomChunksOfAMixedStreamGiveTheFrames) {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 40; ++i) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(i * 6 % 251));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k + i);
    frames.push_back(HostFrame(static_cast<std::uint8_t>(0xC0 + i % 8), data));
    stream.insert(stream.end(), frames.back().begin(), frames.back().end());
  }
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    HostFrameReader reader;
    std::vector<ReaderEvent> events;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % 300);
      reader.Push(std::span(stream).subspan(at, n), 0, events);
      at += n;
    }
    ASSERT_EQ(events.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(events[i].kind, ReaderEvent::Kind::Frame);
      EXPECT_EQ(events[i].bytes, frames[i]);
    }
    EXPECT_FALSE(reader.HasPartialFrame());
  }
}

TEST(ReaderTest, FrameThatGoesQuietIsAbandonedAndItsBytesSearched) {
  HostFrameReader reader(100);
  std::vector<ReaderEvent> events;
  // A lone sync byte (noise), then a real frame: the noise's "length" 0xFC swallows the frame.
  reader.Push(ParseHex("FC"), 0, events);
  reader.Push(ParseHex("FC 05 11 27 56"), 10, events);
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(reader.HasPartialFrame());
  EXPECT_EQ(reader.ExpiryTime(), 110);
  reader.Expire(110, events);
  EXPECT_TRUE(events.empty()) << "not quiet long enough yet";
  reader.Expire(111, events);
  EXPECT_EQ(Describe(events),
            (std::vector<std::string>{"B FC FC 05 11 27 56", "F FC 05 11 27 56"}));
  EXPECT_FALSE(reader.HasPartialFrame());
}

TEST(ReaderTest, EveryFrameLengthIsHandled) {
  for (int lng = 0; lng <= 255; ++lng) {
    SCOPED_TRACE(lng);
    HostFrameReader reader(100);
    std::vector<ReaderEvent> events;
    std::vector<std::uint8_t> bytes = {0xFC, static_cast<std::uint8_t>(lng)};
    bytes.resize(std::max(lng, 2), 0x11);
    reader.Push(bytes, 0, events);
    reader.Expire(1000, events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].kind, ReaderEvent::Kind::BadFrame);
    EXPECT_FALSE(reader.HasPartialFrame());
  }
}

}  // namespace
}  // namespace tarvik::validator
