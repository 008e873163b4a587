// The log box's text as whole lines, oldest first, never more than a limit of characters with
// every line break counted as the two characters CR LF. Lines are numbered from the first line
// the store ever held, so a number names the same line however many lines the limit has dropped
// above it since; a view or a selection kept as line numbers stays on its text.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace tarvik::qt {

class LogLines {
 public:
  explicit LogLines(std::size_t limit);

  // Adds `text` at the end (bytes taken as Latin-1; LF breaks the line, CR is dropped, as the
  // box counts a break as CR LF either way) and drops whole oldest lines while over the limit.
  // When only the unterminated last line is left and it is still too long, the store is emptied:
  // there is no line feed to cut at.
  void Append(std::string_view text);
  // Empties the store; numbering goes on after the lines dropped.
  void Clear();

  // The number of the oldest line kept, and one past the newest. There is always at least one
  // line, the last one, which is empty after a line break.
  std::int64_t First() const { return first_; }
  std::int64_t End() const { return first_ + static_cast<std::int64_t>(lines_.size()); }
  int Count() const { return static_cast<int>(lines_.size()); }
  // The line numbered `number`, First() <= number < End(), without its line break.
  const QString& Line(std::int64_t number) const {
    return lines_[static_cast<std::size_t>(number - first_)];
  }

  // Characters held, a line break counting two.
  std::size_t CharacterCount() const { return characters_ + 2 * (lines_.size() - 1); }
  // The length of the longest line kept.
  int Widest() const;
  // Everything, with CR LF line breaks, as Latin-1 bytes.
  std::string Text() const;

 private:
  void Counted(const QString& line);
  void Uncounted(const QString& line);

  std::size_t limit_;
  std::deque<QString> lines_;
  std::int64_t first_ = 0;
  std::size_t characters_ = 0;
  // The longest length and how many lines have it; recounted only when the last of them goes.
  mutable int widest_ = 0;
  mutable int widestLines_ = 0;
};

}  // namespace tarvik::qt
