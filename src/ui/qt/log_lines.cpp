#include "ui/qt/log_lines.h"

#include <algorithm>

namespace tarvik::qt {

LogLines::LogLines(std::size_t limit) : limit_(limit), lines_(1) {}

void LogLines::Counted(const QString& line) {
  const int length = static_cast<int>(line.size());
  characters_ += static_cast<std::size_t>(length);
  if (length > widest_) {
    widest_ = length;
    widestLines_ = 1;
  } else if (length == widest_) {
    ++widestLines_;
  }
}

void LogLines::Uncounted(const QString& line) {
  const int length = static_cast<int>(line.size());
  characters_ -= static_cast<std::size_t>(length);
  if (length == widest_) --widestLines_;
}

int LogLines::Widest() const {
  if (widestLines_ <= 0) {
    widest_ = 0;
    widestLines_ = 0;
    for (const QString& line : lines_) {
      const int length = static_cast<int>(line.size());
      if (length > widest_) {
        widest_ = length;
        widestLines_ = 1;
      } else if (length == widest_) {
        ++widestLines_;
      }
    }
  }
  return widest_;
}

void LogLines::Append(std::string_view text) {
  QString* line = &lines_.back();
  Uncounted(*line);
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      Counted(*line);
      line = &lines_.emplace_back();
      continue;
    }
    line->append(QChar(static_cast<unsigned char>(c)));
  }
  Counted(*line);

  while (CharacterCount() > limit_) {
    if (lines_.size() == 1) {
      Clear();
      return;
    }
    Uncounted(lines_.front());
    lines_.pop_front();
    ++first_;
  }
}

void LogLines::Clear() {
  first_ = End();
  lines_.assign(1, QString());
  characters_ = 0;
  widest_ = 0;
  widestLines_ = 1;
}

std::string LogLines::Text() const {
  std::string result;
  result.reserve(CharacterCount());
  for (const QString& line : lines_) {
    if (&line != &lines_.front()) result += "\r\n";
    for (QChar c : line) result += static_cast<char>(c.unicode());
  }
  return result;
}

}  // namespace tarvik::qt
