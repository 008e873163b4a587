// The communication log box: read-only, fixed pitch, never more than `kLogBoxLimit` characters,
// counting every line break as the two characters CR LF. The engine hands it text with CRLF line
// ends and reads it back the same way.
//
// The box follows new entries only while its view is at the end and nothing is selected. Once
// the operator scrolls up or selects, entries go on arriving below without moving the view or
// the selection, and a small "N new lines – follow" button brings the view back to the end.
// Lines are not wrapped: a long dump runs on to the right behind a horizontal scroll bar, so
// every line keeps its indent.
#pragma once

#include <QPlainTextEdit>
#include <string>
#include <string_view>

#include "engine/window_services.h"

class QToolButton;

namespace tarvik::qt {

class LogBox : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogBox(QWidget* parent = nullptr, std::size_t limit = kLogBoxLimit);

  // Inserts `text` at the end and drops whole oldest lines while the box is over the limit. A
  // following view shows the newest line; any other view and selection stay on the same text
  // where it is still there. Bytes are taken as Latin-1, one character each.
  void Append(std::string_view text);
  // Empties the box; the view follows again.
  void Clear();
  // The whole text with CRLF line breaks, as Latin-1 bytes.
  std::string Text() const;
  // Characters the box holds, a line break counting two.
  std::size_t CharacterCount() const;

  // New entries scroll into view: the view is at the end, not held by the operator, and nothing
  // is selected.
  bool Following() const;
  // Lines that arrived while the view did not follow; 0 once it follows again.
  int UnseenLines() const { return unseenLines_; }
  // The "N new lines – follow" button; shown while lines are unseen.
  QToolButton* followButton() const { return followButton_; }
  // Drops the selection and returns the view to the end, which it then follows.
  void Follow();
  // The arrow, page, Home and End keys: without modifiers they move the view, not a caret.
  static bool IsViewKey(int key);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Returns the number of lines dropped from the top.
  int TrimToLimit();
  void ShowUnseen();
  void PlaceFollowButton();
  void OnScrolled();

  std::size_t limit_;
  QToolButton* followButton_ = nullptr;
  int unseenLines_ = 0;
  // The view was at the end when the operator (or the box) last moved it; kept rather than
  // read from the scroll bar, whose range changes under the view without an entry.
  bool atEnd_ = true;
};

}  // namespace tarvik::qt
