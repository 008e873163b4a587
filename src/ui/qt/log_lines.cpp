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

namespace {

// Adds bytes to a line as Latin-1 characters without their CRs. A whole entry line becomes one
// allocation of its own size, not a string grown character by character.
void AppendLatin1(QString& line, std::string_view piece) {
  if (piece.ends_with('\r')) piece.remove_suffix(1);  // the CR of an entry's CR LF
  if (piece.find('\r') == std::string_view::npos) {
    line.append(QLatin1StringView(piece.data(), static_cast<qsizetype>(piece.size())));
    return;
  }
  for (char c : piece) {
    if (c != '\r') line.append(QChar(static_cast<unsigned char>(c)));
  }
}

}  // namespace

void LogLines::Append(std::string_view text) {
  QString* line = &lines_.back();
  Uncounted(*line);
  for (;;) {
    const std::size_t end = text.find('\n');
    AppendLatin1(*line, text.substr(0, end));
    if (end == std::string_view::npos) break;
    Counted(*line);
    line = &lines_.emplace_back();
    text.remove_prefix(end + 1);
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
