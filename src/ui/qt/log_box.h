// The communication log box: read-only, fixed pitch, never more than `kLogBoxLimit` characters,
// counting every line break as the two characters CR LF. The engine hands it text with CRLF line
// ends and reads it back the same way.
//
// The box follows new entries only while its view is at the end and nothing is selected. Once
// the operator scrolls up or selects, entries go on arriving below without moving the view or
// the selection, and a small "N new lines – follow" button brings the view back to the end.
// Lines are not wrapped: a long dump runs on to the right behind a horizontal scroll bar, so
// every line keeps its indent.
//
// The box draws its lines itself rather than through a text document: an entry arriving at a
// following view moves the lines already shown up by a copy of their pixels and draws only the
// new ones, a fraction of the work of laying out a document and repainting its view. The lines of
// an idle poll are the same few again and again, so the rows drawn are kept as images of their
// pixels and a row seen before is copied rather than drawn glyph by glyph.
#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QCache>
#include <QGlyphRun>
#include <QImage>
#include <QRawFont>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/window_services.h"
#include "ui/qt/log_lines.h"

class QToolButton;

namespace tarvik::qt {

class QuietScrollBar;

class LogBox : public QAbstractScrollArea {
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
  std::string Text() const { return lines_.Text(); }
  // Characters the box holds, a line break counting two.
  std::size_t CharacterCount() const { return lines_.CharacterCount(); }

  // Lines held, counting the last, unterminated one (empty after a line break), and the text
  // of a line by its index from the oldest, without the break (empty past either end).
  int LineCount() const { return lines_.Count(); }
  QString LineText(int index) const;
  // The index of the line at the top of the view; the vertical scroll bar's value.
  int TopLine() const;
  // Where in the viewport the gap before `column` of line `line` is, half-way down the line.
  QPoint PlaceOf(int line, int column) const;

  // Selects from (anchorLine, anchorColumn) to (line, column), lines by index as in LineText.
  void Select(int anchorLine, int anchorColumn, int line, int column);
  void SelectAll();
  bool HasSelection() const { return anchor_ != caret_; }
  // The selection with '\n' line breaks, as the clipboard gets it.
  QString SelectedText() const;
  // Puts the selection on the clipboard; nothing selected, the clipboard stays.
  void Copy() const;

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
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  // Room left of the first column, in pixels. The first row starts at the top: a line moved up
  // into a margin there by a copy of pixels would show a sliver a fresh paint does not.
  static constexpr int kMargin = 4;
  static constexpr int kTop = 0;

  // A place between two characters: the line's number (see LogLines) and the column.
  struct Spot {
    std::int64_t line = 0;
    int column = 0;
    auto operator<=>(const Spot&) const = default;
  };

  void TakeFontMetrics();
  // The glyphs of `text` at fixed columns; none when the font lacks one of its characters.
  std::optional<QGlyphRun> GlyphsOf(const QString& text) const;
  // Draws `text` from `origin`; false when it took the font's fallbacks, whose glyphs need not
  // keep to the columns.
  bool DrawText(QPainter& painter, QPointF origin, const QString& text) const;
  // Draws the unselected row at `y` in the text colour, from its kept image where it can; false
  // as DrawText.
  bool DrawRow(QPainter& painter, int y, qreal left, const QString& text);
  void UpdateScrollBars();
  // Rows of the view a line fills completely.
  int FullRows() const;
  // Brings the painted view to the scroll bar's line: a copy of the pixels for a short move,
  // a repaint for a long one.
  void SyncView();
  // Repaints the view from line `number` down.
  void RepaintFrom(std::int64_t number);
  // Notes that row `row` of the view now has pixels up to column `right`.
  void MarkInk(int row, int right);
  Spot SpotAt(QPoint point) const;
  Spot SpotOf(int line, int column) const;
  Spot Clamped(Spot spot) const;
  Spot End() const;
  // Moves the caret, extending the selection from the anchor, and keeps it in view.
  void MoveCaret(Spot caret);
  bool MoveCaretByKey(const QKeyEvent& event);
  // Moves the selection's end to where the drag is, scrolling a line if it is past the view.
  void ExtendDrag();
  void SelectionChanged();
  void ShowUnseen();
  void PlaceFollowButton();
  void OnScrolled();

  LogLines lines_;
  QuietScrollBar* verticalBar_ = nullptr;
  // The line drawn at the top of the view, which the scroll bar's value may have left behind.
  std::int64_t paintedTop_ = 0;
  // For each row of the view, the pixel column up to which it holds more than the background.
  // A move of the view copies the rows only that far: the rest is blank before and after.
  std::vector<int> rowInk_;
  // The selection runs from the anchor to the caret; both stay on their text as lines are
  // dropped above them.
  Spot anchor_;
  Spot caret_;
  bool dragging_ = false;
  QPoint dragPoint_;
  QBasicTimer autoScroll_;
  static constexpr int kAutoScrollMs = 50;
  QToolButton* followButton_ = nullptr;
  int unseenLines_ = 0;
  // The view was at the end when the operator (or the box) last moved it; kept rather than
  // read from the scroll bar, whose range changes under the view without an entry.
  bool atEnd_ = true;
  // The font's metrics; the box's font is fixed pitch, so a column is a fixed width.
  int lineHeight_ = 1;
  int ascent_ = 0;
  qreal columnWidth_ = 1;
  QRawFont rawFont_;

  // Images of rows drawn lately, by their text, from the left edge of the view to a column past
  // the text. They hold for one pixel format, first column's place and pixel ratio; a change of
  // any, or of the font or colours, drops them.
  static constexpr int kRowImages = 64;
  QCache<QString, QImage> rowImages_{kRowImages};
  QImage::Format rowFormat_ = QImage::Format_Invalid;
  qreal rowLeft_ = 0;
  qreal rowRatio_ = 0;
};

}  // namespace tarvik::qt
