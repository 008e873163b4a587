#include "ui/console/console_expectations.h"

#include <algorithm>
#include <charconv>

namespace tarvik::console {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<Expectation> ParseExpectation(std::string_view arguments, bool negated,
                                            std::string& error) {
  const char* command = negated ? ":expect-not" : ":expect";
  Expectation expectation;
  expectation.negated = negated;
  std::string_view text = TrimEnd(arguments);
  const std::size_t blank = text.find_last_of(" \t");
  const std::string_view last = blank == std::string_view::npos ? text : text.substr(blank + 1);
  const bool lastIsNumber = !last.empty() && std::all_of(last.begin(), last.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
  if (lastIsNumber && blank != std::string_view::npos) {
    int ms = 0;
    const auto [end, status] = std::from_chars(last.data(), last.data() + last.size(), ms);
    if (status != std::errc() || end != last.data() + last.size() || ms > kMaxScriptWaitMs) {
      error = std::string(command) + " takes at most 3600000 ms, not " + std::string(last);
      return std::nullopt;
    }
    expectation.ms = ms;
    text = TrimEnd(text.substr(0, blank));
  } else if (negated) {
    error = ":expect-not needs TEXT and then MS, the milliseconds to watch";
    return std::nullopt;
  }
  if (text.empty()) {
    error = std::string(command) + " needs a TEXT to look for";
    return std::nullopt;
  }
  expectation.text = std::string(text);
  return expectation;
}

void LogWatch::Add(std::string_view entry) {
  std::lock_guard lock(mutex_);
  entries_.emplace_back(entry);
  if (entries_.size() > kMaxEntries) {
    lastDropped_ = std::move(entries_.front());
    entries_.pop_front();
    ++first_;
  }
}

std::optional<std::uint64_t> LogWatch::Find(std::uint64_t from, std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (std::uint64_t n = std::max(from, first_); n < first_ + entries_.size(); ++n) {
    if (entries_[static_cast<std::size_t>(n - first_)].find(text) != std::string::npos) return n;
  }
  return std::nullopt;
}

std::uint64_t LogWatch::End() const {
  std::lock_guard lock(mutex_);
  return first_ + entries_.size();
}

std::string LogWatch::Describe(std::uint64_t end) const {
  std::string entry;
  {
    std::lock_guard lock(mutex_);
    if (end > first_) {
      entry = entries_[static_cast<std::size_t>(
          std::min<std::uint64_t>(end, first_ + entries_.size()) - 1 - first_)];
    } else {
      entry = lastDropped_;
    }
  }
  std::string out;
  std::string_view rest = entry;
  while (!rest.empty()) {
    const std::size_t end_of_line = rest.find('\n');
    std::string_view line = rest.substr(0, end_of_line);
    rest =
        end_of_line == std::string_view::npos ? std::string_view() : rest.substr(end_of_line + 1);
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    line = TrimEnd(line);
    if (line.empty()) continue;
    if (!out.empty()) out += ' ';
    out += line;
  }
  return out.empty() ? "(none)" : out;
}

void LogWatch::Consume(std::uint64_t cursor) {
  std::lock_guard lock(mutex_);
  // The newest entry stays, so a later failure can still name it.
  while (first_ + 1 < cursor && entries_.size() > 1) {
    lastDropped_ = std::move(entries_.front());
    entries_.pop_front();
    ++first_;
  }
}

PendingExpectation::Verdict PendingExpectation::Check(const LogWatch& watch, long long elapsedMs) {
  const std::optional<std::uint64_t> found = watch.Find(cursor_, expectation_.text);
  const bool timeUp = elapsedMs >= expectation_.ms;
  if (!expectation_.negated) {
    if (found) {
      cursor_ = *found + 1;
      return Verdict::Held;
    }
    if (!timeUp) return Verdict::Waiting;
    cursor_ = watch.End();
    failure_ = ExpectFailedLine(expectation_, expectation_.ms, watch.Describe(cursor_));
    return Verdict::Failed;
  }
  if (found) {
    cursor_ = *found + 1;
    failure_ = ExpectFailedLine(expectation_, std::min<long long>(elapsedMs, expectation_.ms),
                                watch.Describe(cursor_));
    return Verdict::Failed;
  }
  if (!timeUp) return Verdict::Waiting;
  cursor_ = watch.End();
  return Verdict::Held;
}

std::string ExpectFailedLine(const Expectation& expectation, long long waitedMs,
                             std::string_view lastEntry) {
  return ExpectFailedLine(expectation.line, (expectation.negated ? "not " : "") +
                                                expectation.text + " (waited " +
                                                std::to_string(waitedMs) + " ms; last entry: " +
                                                std::string(lastEntry) + ")");
}

std::string ExpectFailedLine(int line, std::string_view what) {
  return "EXPECT FAILED: line " + std::to_string(line) + ": " + std::string(what);
}

}  // namespace tarvik::console
