#include "ui/console/console_expectations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/console/console_input.h"

namespace tarvik::console {
namespace {

struct ParseCase {
  const char* arguments;
  bool negated;
  std::string text;  // empty: refused
  int ms;
  std::string error;
};

TEST(ParseExpectation, TextRunsToTheEndExceptALastWordOfDigits) {
  const ParseCase cases[] = {
      {"IDLING", false, "IDLING", kDefaultExpectMs, ""},
      {"VEND VALID", false, "VEND VALID", kDefaultExpectMs, ""},
      {"Set INHIBIT 00 2000", false, "Set INHIBIT 00", 2000, ""},
      // The rule is the rule: a TEXT ending in a number needs its MS after it.
      {"Stack 1", false, "Stack", 1, ""},
      {"ESCROW   300  \r", false, "ESCROW", 300, ""},
      {"12345", false, "12345", kDefaultExpectMs, ""},
      {"<--- ACK 0", false, "<--- ACK", 0, ""},
      {"Error 500", true, "Error", 500, ""},
      {"Error", true, "", 0, ":expect-not needs TEXT and then MS, the milliseconds to watch"},
      {"", false, "", 0, ":expect needs a TEXT to look for"},
      {"ACK 3600001", false, "", 0, ":expect takes at most 3600000 ms, not 3600001"},
      {"ACK 99999999999", false, "", 0, ":expect takes at most 3600000 ms, not 99999999999"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::string error;
    const auto parsed = ParseExpectation(c.arguments, c.negated, error);
    if (c.text.empty()) {
      EXPECT_FALSE(parsed);
      EXPECT_EQ(error, c.error);
      continue;
    }
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->text, c.text);
    EXPECT_EQ(parsed->ms, c.ms);
    EXPECT_EQ(parsed->negated, c.negated);
  }
}

struct VerdictCase {
  const char* name;
  std::vector<std::string> entries;  // logged before the check
  std::uint64_t cursor;
  Expectation expectation;
  long long elapsedMs;
  PendingExpectation::Verdict verdict;
  std::uint64_t nextCursor;
  std::string failure;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, JudgesTheEntriesAfterTheCursor) {
  const VerdictCase& c = GetParam();
  LogWatch watch;
  for (const std::string& entry : c.entries) watch.Add(entry);
  PendingExpectation pending(c.expectation, c.cursor);
  EXPECT_EQ(pending.Check(watch, c.elapsedMs), c.verdict);
  if (c.verdict == PendingExpectation::Verdict::Waiting) return;
  EXPECT_EQ(pending.NextCursor(), c.nextCursor);
  EXPECT_EQ(pending.FailureMessage(), c.failure);
}

using V = PendingExpectation::Verdict;
const std::string kAck = "              <--- ACK\r\n                   [FC 05 50 AA 05]\r\n";
const std::string kReset = "RESET COMMAND --->\r\n[FC 05 40 2B 15]\r\n";
const std::string kSync = "              <--- Sync Byte Error.\r\n                   [00]\r\n";

INSTANTIATE_TEST_SUITE_P(
    Expectations, VerdictTest,
    ::testing::Values(
        VerdictCase{"FoundHoldsAndMovesPastTheMatch",
                    {kReset, kAck, kReset},
                    0,
                    {false, "ACK", 2000, 4},
                    0,
                    V::Held,
                    2,
                    ""},
        VerdictCase{"BeforeTheCursorDoesNotCount",
                    {kReset, kAck, kReset},
                    2,
                    {false, "ACK", 2000, 4},
                    100,
                    V::Waiting,
                    0,
                    ""},
        VerdictCase{
            "MissingAtTheLimitFails",
            {kReset, kAck},
            2,
            {false, "ACK", 500, 7},
            500,
            V::Failed,
            2,
            "EXPECT FAILED: line 7: ACK (waited 500 ms; last entry: <--- ACK [FC 05 50 AA 05])"},
        VerdictCase{"NothingLoggedFailsWithNone",
                    {},
                    0,
                    {false, "ACK", 50, 1},
                    60,
                    V::Failed,
                    0,
                    "EXPECT FAILED: line 1: ACK (waited 50 ms; last entry: (none))"},
        VerdictCase{"AbsentThroughTheWindowHolds",
                    {kReset, kAck},
                    0,
                    {true, "Error", 300, 3},
                    300,
                    V::Held,
                    2,
                    ""},
        VerdictCase{
            "AbsentSoFarWaits", {kReset, kAck}, 0, {true, "Error", 300, 3}, 100, V::Waiting, 0, ""},
        VerdictCase{"PresentFailsAtOnceNamingTheEntry",
                    {kReset, kSync, kAck},
                    0,
                    {true, "Error", 300, 9},
                    40,
                    V::Failed,
                    2,
                    "EXPECT FAILED: line 9: not Error (waited 40 ms; last entry: <--- Sync Byte "
                    "Error. [00])"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LogWatch, KeepsABoundedTailAndNamesTheNewestEntry) {
  LogWatch watch;
  const std::size_t total = LogWatch::kMaxEntries + 10;
  for (std::size_t i = 0; i < total; ++i) watch.Add("[" + std::to_string(i) + "]");
  EXPECT_EQ(watch.End(), total);
  EXPECT_EQ(watch.Find(0, "[5]"), std::nullopt);  // dropped: the oldest go first
  EXPECT_EQ(watch.Find(0, "[" + std::to_string(total - 1) + "]"),
            std::optional<std::uint64_t>(total - 1));
  // Once consumed, entries are not matched again, but the newest still names the place.
  watch.Consume(watch.End());
  EXPECT_EQ(watch.Find(watch.End(), "["), std::nullopt);
  EXPECT_EQ(watch.Describe(watch.End()), "[" + std::to_string(total - 1) + "]");
  watch.Add("newest");
  EXPECT_EQ(watch.Find(total, "newest"), std::optional<std::uint64_t>(total));
  EXPECT_EQ(watch.Describe(watch.End()), "newest");
}

TEST(InputParserScript, SkipsCommentLinesAndNumbersCommandLines) {
  InputParser parser(false);
  std::vector<InputEvent> events;
  parser.Feed("# reset first\nr\n\n:expect ACK\r\n#S\n:wait 10", events);
  parser.Finish(events);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, InputKind::Key);
  EXPECT_EQ(events[0].key, 'r');
  EXPECT_EQ(events[1].text, "expect ACK");
  EXPECT_EQ(events[1].line, 4);
  EXPECT_EQ(events[2].text, "wait 10");
  EXPECT_EQ(events[2].line, 6);
}

}  // namespace
}  // namespace tarvik::console
