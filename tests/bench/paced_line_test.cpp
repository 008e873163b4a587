// The download figure's line model and its record of a download, on times passed in: the
// figure is only as honest as these rules.
#include "e2e/paced_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "e2e/download_watch.h"
#include "protocol/line_codes.h"
#include "support/fake_window_services.h"

namespace {

using tarvik::bench::DownloadWatch;
using tarvik::bench::PacedLine;
using tarvik::testing::MakeFrame;
using Clock = PacedLine::Clock;
using std::chrono::nanoseconds;

// 11 bits at 38,400 baud, rounded up to the nanosecond.
constexpr nanoseconds kByte{286459};

// Two host frames written at once, the second while the first is still crossing: each is handed
// on whole when its own last byte has crossed, the second queued behind the first.
TEST(PacedLineTest, HostFramesArriveWholeAtTheLinesPace) {
  PacedLine line(38400);
  ASSERT_EQ(line.ByteTime(), kByte);
  const Clock::time_point t0{std::chrono::seconds(100)};
  const auto request = MakeFrame(tarvik::cmd::kStatusRequest);
  const auto data = MakeFrame(tarvik::cmd::kDownloadData, {0, 0, 0, 0, 1, 2, 3});
  line.Receive(request, t0);
  line.Receive(data, t0 + kByte);

  ASSERT_EQ(line.NextArrival(), t0 + 5 * kByte);
  PacedLine::Arrived arrived;
  EXPECT_FALSE(line.TakeArrived(t0 + 5 * kByte - nanoseconds(1), arrived));
  // Taken late, the two frames still come apart, each with its own times.
  const Clock::time_point late = t0 + 100 * kByte;
  ASSERT_TRUE(line.TakeArrived(late, arrived));
  EXPECT_EQ(arrived.bytes, request);
  EXPECT_EQ(arrived.at.front(), t0 + kByte);
  EXPECT_EQ(arrived.at.back(), t0 + 5 * kByte);
  ASSERT_EQ(line.NextArrival(), t0 + 17 * kByte);
  ASSERT_TRUE(line.TakeArrived(late, arrived));
  EXPECT_EQ(arrived.bytes, data);
  EXPECT_EQ(arrived.at.front(), t0 + 6 * kByte);
  EXPECT_EQ(arrived.at.back(), t0 + 17 * kByte);
  EXPECT_FALSE(line.TakeArrived(late, arrived));
  EXPECT_FALSE(line.NextArrival());

  // A quiet line: the next byte takes its own time from when it is seen.
  line.Receive(std::vector<std::uint8_t>{0x00}, late);
  EXPECT_EQ(line.NextArrival(), late + kByte);
}

// Answers go out a byte at a time, each once it has crossed; one given while another is still
// going out waits behind it.
TEST(PacedLineTest, AnswersLeaveAByteAtATimeInTurn) {
  PacedLine line(38400);
  const Clock::time_point t1{std::chrono::seconds(7)};
  const auto ready = MakeFrame(tarvik::rsp::kDownloadStatus, {0x00});
  const auto ack = MakeFrame(tarvik::rsp::kAck);
  line.Send(ready, t1);
  line.Send(ack, t1 + 2 * kByte);

  EXPECT_EQ(line.NextWrite(), t1 + kByte);
  EXPECT_TRUE(line.TakeDue(t1 + kByte - nanoseconds(1)).empty());
  EXPECT_EQ(line.TakeDue(t1 + kByte), std::vector<std::uint8_t>{ready.front()});
  std::vector<std::uint8_t> expected(ready.begin() + 1, ready.end());
  expected.push_back(ack.front());
  EXPECT_EQ(line.TakeDue(t1 + 7 * kByte), expected);
  EXPECT_EQ(line.NextWrite(), t1 + 8 * kByte);
  EXPECT_EQ(line.TakeDue(t1 + 11 * kByte).size(), ack.size() - 1);
  EXPECT_FALSE(line.NextWrite());
}

// Unpaced, the line is the pseudo-terminal: bytes are there when seen, answers leave at once.
TEST(PacedLineTest, UnpacedHandsEverythingOnAtOnce) {
  PacedLine line(0);
  const Clock::time_point t{std::chrono::seconds(3)};
  const auto request = MakeFrame(tarvik::cmd::kStatusRequest);
  line.Receive(request, t);
  PacedLine::Arrived arrived;
  ASSERT_TRUE(line.TakeArrived(t, arrived));
  EXPECT_EQ(arrived.bytes, request);
  EXPECT_EQ(arrived.at.back(), t);
  line.Send(request, t);
  EXPECT_EQ(line.TakeDue(t), request);
}

// A whole download as the validator sees it: timed from Download Start's line start to the
// arrival of the Ack of the check result, counting every frame byte between, and nothing
// before or after.
TEST(DownloadWatchTest, TimesTheDownloadFromStartToTheAckOfItsCheck) {
  using namespace tarvik;
  DownloadWatch watch;
  Clock::time_point t{std::chrono::seconds(50)};
  std::uint64_t hostBytes = 0;
  std::uint64_t validatorBytes = 0;
  const auto host = [&](const std::vector<std::uint8_t>& frame, bool counted) {
    const Clock::time_point start = t;
    t += frame.size() * kByte;
    watch.HostFrame(frame, start, t);
    if (counted) hostBytes += frame.size();
  };
  const auto answer = [&](const std::vector<std::uint8_t>& frame) {
    watch.ValidatorBytes(frame);
    validatorBytes += frame.size();
    t += frame.size() * kByte;
  };

  host(MakeFrame(cmd::kStatusRequest), false);
  watch.ValidatorBytes(MakeFrame(rsp::kIdling));  // before the download: not counted
  t += std::chrono::milliseconds(200);
  const Clock::time_point start = t;
  host(MakeFrame(cmd::kDownloadStart), true);
  answer(MakeFrame(rsp::kAck));
  for (const std::vector<std::uint8_t>& packet :
       {std::vector<std::uint8_t>{0, 0, 0, 0, 1, 2, 3}, {3, 0, 0, 0, 4, 5}}) {
    host(MakeFrame(cmd::kStatusRequest), true);
    answer(MakeFrame(rsp::kDownloadStatus, {0x00}));
    host(MakeFrame(cmd::kDownloadData, packet), true);
    answer(MakeFrame(rsp::kAck));
  }
  host(MakeFrame(cmd::kDownloadEnd), true);
  answer(MakeFrame(rsp::kProgramCheck, {0x00, 0xAB, 0xCD}));
  EXPECT_FALSE(watch.Timing().finished);
  host(MakeFrame(cmd::kAck), true);
  const Clock::time_point end = t;
  host(MakeFrame(cmd::kStatusRequest), false);  // polling again: not counted
  watch.ValidatorBytes(MakeFrame(rsp::kPowerUp));

  const auto& timing = watch.Timing();
  ASSERT_TRUE(timing.finished);
  EXPECT_EQ(timing.start, start);
  EXPECT_EQ(timing.end, end);
  EXPECT_EQ(timing.hostBytes, hostBytes);
  EXPECT_EQ(timing.validatorBytes, validatorBytes);
  // Back to back on the line, the time is exactly the line time of the bytes counted.
  EXPECT_EQ(timing.end - timing.start, (hostBytes + validatorBytes) * kByte);
  EXPECT_EQ(timing.packets, 2u);
  EXPECT_EQ(timing.packetBytes, 5u);
  EXPECT_EQ(timing.checkStatus, 0x00);
  EXPECT_EQ(timing.checkCrc, 0xABCD);
}

}  // namespace
