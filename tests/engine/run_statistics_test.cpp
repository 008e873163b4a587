#include "engine/run_statistics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run_summary.h"

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Good frames as the validator sends them.
const Bytes kIdling{0xFC, 0x05, 0x11, 0x27, 0x56};
const Bytes kAck{0xFC, 0x05, 0x50, 0xAA, 0x05};
const Bytes kEscrow61{0xFC, 0x06, 0x13, 0x61, 0xB0, 0xFB};
const Bytes kEscrow61BadCrc{0xFC, 0x06, 0x13, 0x61, 0xB0, 0x00};
const Bytes kStacked{0xFC, 0x05, 0x16, 0x98, 0x22};
const Bytes kReturning{0xFC, 0x05, 0x18, 0xE6, 0xCB};
const Bytes kReject71{0xFC, 0x06, 0x17, 0x71, 0x51, 0x8C};

// One step of a run: a command sent, a frame received (its first byte `ms` after the start), or
// a receive error.
struct Event {
  enum class Kind { Sent, Frame, Error } kind;
  int ms = 0;
  std::uint8_t code = 0;
  Bytes frame;
  ReceiveErrorKind error = ReceiveErrorKind::Sync;
};
Event Sent(std::uint8_t code, int ms) { return {Event::Kind::Sent, ms, code, {}, {}}; }
Event Frame(const Bytes& frame, int ms) { return {Event::Kind::Frame, ms, 0, frame, {}}; }
Event Error(ReceiveErrorKind kind) { return {Event::Kind::Error, 0, 0, {}, kind}; }

struct CommandRow {
  std::uint8_t code;
  std::uint32_t sent, answered, timedOut;
  std::vector<std::uint32_t> answerUs;
};
struct NoteRow {
  std::uint8_t code;
  std::uint32_t escrowed, stacked, returned, rejected;
};

struct StatisticsCase {
  const char* name;
  std::vector<Event> events;
  std::vector<CommandRow> commands;
  std::vector<NoteRow> notes;
  std::array<std::uint32_t, kReceiveErrorKinds> errors{};
};

void PrintTo(const StatisticsCase& c, std::ostream* os) { *os << c.name; }

class RunStatisticsTest : public ::testing::TestWithParam<StatisticsCase> {};

TEST_P(RunStatisticsTest, CountsWhatTheRunDid) {
  const StatisticsCase& c = GetParam();
  RunStatistics statistics;
  const Clock::time_point start{};
  for (const Event& e : c.events) {
    const auto at = start + std::chrono::milliseconds(e.ms);
    switch (e.kind) {
      case Event::Kind::Sent:
        statistics.CommandSent(e.code, at);
        break;
      case Event::Kind::Frame:
        statistics.FrameReceived(e.frame, at);
        break;
      case Event::Kind::Error:
        statistics.ReceiveError(e.error);
        break;
    }
  }
  const StatisticsSnapshot snapshot = statistics.Snapshot();
  ASSERT_EQ(snapshot.commands.size(), c.commands.size());
  for (const CommandRow& row : c.commands) {
    SCOPED_TRACE(row.code);
    ASSERT_EQ(snapshot.commands.count(row.code), 1u);
    const CommandStatistics& got = snapshot.commands.at(row.code);
    EXPECT_EQ(got.sent, row.sent);
    EXPECT_EQ(got.answered, row.answered);
    EXPECT_EQ(got.timedOut, row.timedOut);
    EXPECT_EQ(got.answerUs, row.answerUs);
  }
  ASSERT_EQ(snapshot.notes.size(), c.notes.size());
  for (const NoteRow& row : c.notes) {
    SCOPED_TRACE(row.code);
    ASSERT_EQ(snapshot.notes.count(row.code), 1u);
    const NoteStatistics& got = snapshot.notes.at(row.code);
    EXPECT_EQ(got.escrowed, row.escrowed);
    EXPECT_EQ(got.stacked, row.stacked);
    EXPECT_EQ(got.returned, row.returned);
    EXPECT_EQ(got.rejected, row.rejected);
  }
  EXPECT_EQ(snapshot.receiveErrors, c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RunStatisticsTest,
    ::testing::Values(
        StatisticsCase{"AnAnswerIsTimedFromSendToItsFirstByte",
                       {Sent(0x40, 10), Frame(kAck, 13)},
                       {{0x40, 1, 1, 0, {3000}}},
                       {},
                       {}},
        StatisticsCase{"AFrameThatDoesNotAnswerIsNotTheAnswer",
                       {Sent(0x40, 0), Frame(kIdling, 1), Frame(kAck, 5)},
                       {{0x40, 1, 1, 0, {5000}}},
                       {},
                       {}},
        StatisticsCase{"ATimeOutEndsTheCommandAndALateAnswerDoesNotCount",
                       {Sent(0x40, 0), Error(ReceiveErrorKind::TimeOut), Frame(kAck, 400)},
                       {{0x40, 1, 0, 1, {}}},
                       {},
                       {0, 0, 0, 1}},
        StatisticsCase{"AnUnansweredCommandIsOnlySent",
                       {Sent(0x11, 0), Sent(0x11, 200), Frame(kIdling, 202)},
                       {{0x11, 2, 1, 0, {2000}}},
                       {},
                       {}},
        StatisticsCase{"ErrorsAreCountedByKind",
                       {Error(ReceiveErrorKind::Sync), Error(ReceiveErrorKind::Sync),
                        Error(ReceiveErrorKind::Length), Error(ReceiveErrorKind::Crc)},
                       {},
                       {},
                       {2, 1, 1, 0}},
        StatisticsCase{
            "ARepeatedReportIsOneNote",
            {Frame(kEscrow61, 0), Frame(kEscrow61, 1), Frame(kStacked, 2), Frame(kStacked, 3),
             Frame(kIdling, 4), Frame(kEscrow61, 5), Frame(kStacked, 6)},
            {},
            {{0x61, 2, 2, 0, 0}},
            {}},
        StatisticsCase{"AReturnedNoteCountsUnderItsEscrowCode",
                       {Frame(kEscrow61, 0), Frame(kReturning, 1), Frame(kReturning, 2)},
                       {},
                       {{0x61, 1, 0, 1, 0}},
                       {}},
        StatisticsCase{"ARejectedNoteCountsUnderItsReason",
                       {Frame(kReject71, 0), Frame(kReject71, 1), Frame(kIdling, 2)},
                       {},
                       {{0x71, 0, 0, 0, 1}},
                       {}},
        StatisticsCase{"AFrameWithABadCrcIsNoNote",
                       {Frame(kEscrow61BadCrc, 0), Frame(kStacked, 1)},
                       {},
                       {},
                       {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(AnswerPercentile, TakesTheNearestRank) {
  std::vector<std::uint32_t> hundred;
  for (std::uint32_t i = 100; i >= 1; --i) hundred.push_back(i);
  const struct {
    std::vector<std::uint32_t> samples;
    double q;
    std::uint32_t expected;
  } cases[] = {
      {hundred, 0.50, 50}, {hundred, 0.99, 99}, {hundred, 1.0, 100}, {{7}, 0.99, 7}, {{}, 0.5, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(AnswerPercentile(c.samples, c.q), c.expected) << c.q;
}

TEST(RunStatisticsSampling, KeepsABoundedSampleAndTheExactMaximum) {
  RunStatistics statistics;
  const Clock::time_point start{};
  const std::size_t answers = kMaxAnswerSamples * 3;
  for (std::size_t i = 0; i < answers; ++i) {
    const auto sent = start + std::chrono::milliseconds(i * 10);
    statistics.CommandSent(0x11, sent);
    // One slow answer among them, early, so the sample may well have lost it.
    statistics.FrameReceived(kIdling, sent + std::chrono::microseconds(i == 5 ? 9000 : 100));
  }
  const CommandStatistics got = statistics.Snapshot().commands.at(0x11);
  EXPECT_EQ(got.answered, answers);
  EXPECT_EQ(got.answerUs.size(), kMaxAnswerSamples);
  EXPECT_EQ(got.maxAnswerUs, 9000u);
}

TEST(RunSummary, JsonAndTableCarryTheSameFigures) {
  RunStatistics statistics;
  const Clock::time_point start{};
  statistics.CommandSent(0x40, start);
  statistics.FrameReceived(kAck, start + std::chrono::microseconds(1250));
  statistics.CommandSent(0x30, start);
  statistics.ReceiveError(ReceiveErrorKind::TimeOut);
  statistics.FrameReceived(kEscrow61, start);
  statistics.FrameReceived(kStacked, start);
  statistics.ReceiveError(ReceiveErrorKind::Crc);
  const StatisticsSnapshot snapshot = statistics.Snapshot();

  EXPECT_EQ(FormatSummaryJson(snapshot, {{"exit_status", 1}}),
            "{\n"
            "  \"exit_status\": 1,\n"
            "  \"commands\": [\n"
            "    {\"code\": \"0x30\", \"name\": \"Raw Frame 0x30\", \"sent\": 1, \"answered\": 0, "
            "\"timed_out\": 1, \"answer_ms\": null},\n"
            "    {\"code\": \"0x40\", \"name\": \"RESET COMMAND\", \"sent\": 1, \"answered\": 1, "
            "\"timed_out\": 0, \"answer_ms\": {\"p50\": 1.250, \"p99\": 1.250, \"max\": 1.250}}\n"
            "  ],\n"
            "  \"receive_errors\": {\"sync\": 0, \"length\": 0, \"crc\": 1, \"time_out\": 1},\n"
            "  \"notes\": [\n"
            "    {\"code\": \"0x61\", \"escrowed\": 1, \"stacked\": 1, \"returned\": 0, "
            "\"rejected\": 0}\n"
            "  ]\n"
            "}\n");
  EXPECT_EQ(
      FormatSummaryText(snapshot),
      "Run summary\n"
      "Code  Command                        Sent Answered Timed out    p50 ms    p99 ms    max ms\n"
      "0x30  Raw Frame 0x30                    1        0         1         -         -         -\n"
      "0x40  RESET COMMAND                     1        1         0     1.250     1.250     1.250\n"
      "Receive errors: sync 0, length 0, CRC 1, time-out 1\n"
      "Note  Escrowed  Stacked Returned Rejected\n"
      "0x61         1        1        0        0\n");
}

TEST(RunSummary, AnEmptyRunSaysSo) {
  const StatisticsSnapshot empty;
  EXPECT_EQ(FormatSummaryJson(empty),
            "{\n  \"commands\": [],\n"
            "  \"receive_errors\": {\"sync\": 0, \"length\": 0, \"crc\": 0, \"time_out\": 0},\n"
            "  \"notes\": []\n}\n");
  const std::string text = FormatSummaryText(empty);
  EXPECT_NE(text.find("(no command sent)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("(no note)\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace tarvik
