// The communication log box: read-only, fixed pitch, wrapped, the newest line always in view,
// and never more than `kLogBoxLimit` characters, counting every line break as the two characters
// CR LF. The engine hands it text with CRLF line ends and reads it back the same way.
#pragma once

#include <QPlainTextEdit>
#include <string>
#include <string_view>

#include "engine/window_services.h"

namespace tarvik::qt {

class LogBox : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogBox(QWidget* parent = nullptr, std::size_t limit = kLogBoxLimit);

  // Inserts `text` at the end, drops whole oldest lines while the box is over the limit and
  // scrolls the newest line into view. Bytes are taken as Latin-1, one character each.
  void Append(std::string_view text);
  // The whole text with CRLF line breaks, as Latin-1 bytes.
  std::string Text() const;
  // Characters the box holds, a line break counting two.
  std::size_t CharacterCount() const;

 private:
  void TrimToLimit();
  void ScrollToEnd();

  std::size_t limit_;
};

}  // namespace tarvik::qt
