// Expectations of a console script (`:expect TEXT [MS]`, `:expect-not TEXT MS`): the log entries
// they are matched against, and how one is judged. Pure apart from the entry store's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::console {

inline constexpr int kDefaultExpectMs = 2000;
// The longest a script may pause (`:wait`) or watch the log (`:expect`): an hour. A longer number
// is a typo, not a plan.
inline constexpr int kMaxScriptWaitMs = 3600 * 1000;

struct Expectation {
  bool negated = false;  // `:expect-not`
  std::string text;
  int ms = kDefaultExpectMs;
  int line = 0;  // the script line, for the failure message
};

// Parses the arguments of `:expect` (`negated` false) or `:expect-not`: TEXT runs to the end of
// the line, except a last word of digits, which is MS (required for `:expect-not`). Returns the
// expectation, or nothing with the reason in `error`.
std::optional<Expectation> ParseExpectation(std::string_view arguments, bool negated,
                                            std::string& error);

// The log entries written since the last one an expectation consumed, numbered from the start of
// the run. Entries arrive from the worker thread; the script's loop reads them.
class LogWatch {
 public:
  // Unconsumed entries kept at most; older ones are dropped (a script that never expects
  // anything must not grow without bound).
  static constexpr std::size_t kMaxEntries = 4096;

  void Add(std::string_view entry);
  // The number of the first entry at or after `from` that contains `text`.
  std::optional<std::uint64_t> Find(std::uint64_t from, std::string_view text) const;
  // One past the newest entry.
  std::uint64_t End() const;
  // The newest entry before `end` on one line (lines trimmed and joined by a blank); "(none)".
  std::string Describe(std::uint64_t end) const;
  // Entries before `cursor` will not be matched again.
  void Consume(std::uint64_t cursor);

 private:
  mutable std::mutex mutex_;  // guards the three fields below
  std::deque<std::string> entries_;
  std::uint64_t first_ = 0;  // the number of entries_.front()
  std::string lastDropped_;  // the newest entry already dropped, for Describe
};

// An expectation being waited on, from the moment its line ran.
class PendingExpectation {
 public:
  enum class Verdict { Waiting, Held, Failed };

  PendingExpectation(Expectation expectation, std::uint64_t cursor)
      : expectation_(std::move(expectation)), cursor_(cursor) {}

  // Judges against the entries so far; `elapsedMs` since the line ran. Once not Waiting, the
  // cursor for the next expectation and, for a failure, its message are set.
  Verdict Check(const LogWatch& watch, long long elapsedMs);

  int Ms() const { return expectation_.ms; }
  std::uint64_t NextCursor() const { return cursor_; }
  const std::string& FailureMessage() const { return failure_; }

 private:
  Expectation expectation_;
  std::uint64_t cursor_;
  std::string failure_;
};

// "EXPECT FAILED: line N: TEXT (waited MS ms; last entry: ...)".
std::string ExpectFailedLine(const Expectation& expectation, long long waitedMs,
                             std::string_view lastEntry);
// "EXPECT FAILED: line N: " and `what`: also for an expectation line that could not be read.
std::string ExpectFailedLine(int line, std::string_view what);

}  // namespace tarvik::console
