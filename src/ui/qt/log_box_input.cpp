// The operator's side of the log box: selecting with the mouse and the keys, copying, and the
// keys that move the view.
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimerEvent>
#include <algorithm>
#include <cmath>
#include <iterator>

#include "ui/qt/log_box.h"

namespace tarvik::qt {

namespace {

// The keys that move the view, and how.
struct ViewKey {
  int key;
  bool horizontal;  // the horizontal scroll bar, else the vertical one
  QAbstractSlider::SliderAction action;
};
constexpr ViewKey kViewKeys[] = {
    {Qt::Key_Up, false, QAbstractSlider::SliderSingleStepSub},
    {Qt::Key_Down, false, QAbstractSlider::SliderSingleStepAdd},
    {Qt::Key_PageUp, false, QAbstractSlider::SliderPageStepSub},
    {Qt::Key_PageDown, false, QAbstractSlider::SliderPageStepAdd},
    {Qt::Key_Left, true, QAbstractSlider::SliderSingleStepSub},
    {Qt::Key_Right, true, QAbstractSlider::SliderSingleStepAdd},
    {Qt::Key_Home, false, QAbstractSlider::SliderToMinimum},
    {Qt::Key_End, false, QAbstractSlider::SliderToMaximum},
};

}  // namespace

LogBox::Spot LogBox::End() const {
  return {lines_.End() - 1, static_cast<int>(lines_.Line(lines_.End() - 1).size())};
}

LogBox::Spot LogBox::Clamped(Spot spot) const {
  if (spot.line < lines_.First()) return {lines_.First(), 0};
  if (spot.line >= lines_.End()) return End();
  const int length = static_cast<int>(lines_.Line(spot.line).size());
  return {spot.line, std::clamp(spot.column, 0, length)};
}

LogBox::Spot LogBox::SpotOf(int line, int column) const {
  return Clamped({lines_.First() + line, column});
}

void LogBox::Select(int anchorLine, int anchorColumn, int line, int column) {
  anchor_ = SpotOf(anchorLine, anchorColumn);
  caret_ = SpotOf(line, column);
  SelectionChanged();
}

void LogBox::SelectAll() {
  anchor_ = {lines_.First(), 0};
  caret_ = End();
  SelectionChanged();
}

QString LogBox::SelectedText() const {
  const Spot from = std::min(anchor_, caret_);
  const Spot to = std::max(anchor_, caret_);
  QString text;
  if (from == to) return text;
  for (std::int64_t number = from.line; number <= to.line; ++number) {
    const QString& line = lines_.Line(number);
    const int start = number == from.line ? from.column : 0;
    const int end = number == to.line ? to.column : static_cast<int>(line.size());
    text += line.mid(start, end - start);
    if (number != to.line) text += QLatin1Char('\n');
  }
  return text;
}

void LogBox::Copy() const {
  if (HasSelection()) QApplication::clipboard()->setText(SelectedText());
}

void LogBox::SelectionChanged() {
  viewport()->update();
  OnScrolled();
}

void LogBox::MoveCaret(Spot caret) {
  caret_ = Clamped(caret);
  QScrollBar* bar = verticalScrollBar();
  const int index = static_cast<int>(caret_.line - lines_.First());
  if (index < bar->value()) {
    bar->setValue(index);
  } else if (index >= bar->value() + FullRows()) {
    bar->setValue(index - FullRows() + 1);
  }
  QScrollBar* across = horizontalScrollBar();
  const int x = static_cast<int>(kMargin + caret_.column * columnWidth_);
  if (x < across->value()) {
    across->setValue(x - kMargin);
  } else if (x > across->value() + viewport()->width() - kMargin) {
    across->setValue(x - viewport()->width() + kMargin);
  }
  SelectionChanged();
}

bool LogBox::MoveCaretByKey(const QKeyEvent& event) {
  // Every selecting key holds Shift; other keys leave the caret where the last click put it.
  if (!(event.modifiers() & Qt::ShiftModifier)) return false;
  // With nothing selected, a selection from the keys starts where the operator is looking: at
  // the start of the top line in view, unless the caret (the last click) is in view.
  if (!HasSelection() && (caret_.line < paintedTop_ || caret_.line >= paintedTop_ + FullRows())) {
    anchor_ = caret_ = Clamped({paintedTop_, 0});
  }
  Spot caret = caret_;
  const int length = static_cast<int>(lines_.Line(caret.line).size());
  if (event.matches(QKeySequence::SelectNextChar)) {
    caret = caret.column < length ? Spot{caret.line, caret.column + 1} : Spot{caret.line + 1, 0};
  } else if (event.matches(QKeySequence::SelectPreviousChar)) {
    if (caret.column > 0) {
      --caret.column;
    } else if (caret.line > lines_.First()) {
      caret = {caret.line - 1, static_cast<int>(lines_.Line(caret.line - 1).size())};
    }
  } else if (event.matches(QKeySequence::SelectNextLine)) {
    ++caret.line;
  } else if (event.matches(QKeySequence::SelectPreviousLine)) {
    --caret.line;
  } else if (event.matches(QKeySequence::SelectNextPage)) {
    caret.line = std::min(caret.line + FullRows(), lines_.End() - 1);
  } else if (event.matches(QKeySequence::SelectPreviousPage)) {
    caret.line = std::max(caret.line - FullRows(), lines_.First());
  } else if (event.matches(QKeySequence::SelectStartOfLine)) {
    caret.column = 0;
  } else if (event.matches(QKeySequence::SelectEndOfLine)) {
    caret.column = length;
  } else if (event.matches(QKeySequence::SelectStartOfDocument)) {
    caret = {lines_.First(), 0};
  } else if (event.matches(QKeySequence::SelectEndOfDocument)) {
    caret = End();
  } else {
    return false;
  }
  MoveCaret(caret);
  return true;
}

void LogBox::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    Copy();
    return;
  }
  if (event->matches(QKeySequence::SelectAll)) {
    SelectAll();
    return;
  }
  if (MoveCaretByKey(*event)) return;
  // Plain arrows and page keys move the view, as there is no caret to move.
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    for (const ViewKey& row : kViewKeys) {
      if (row.key != event->key()) continue;
      (row.horizontal ? horizontalScrollBar() : verticalScrollBar())->triggerAction(row.action);
      return;
    }
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void LogBox::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  const Spot spot = SpotAt(event->position().toPoint());
  if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = spot;
  caret_ = spot;
  dragging_ = true;
  SelectionChanged();
}

void LogBox::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
  dragPoint_ = event->position().toPoint();
  // Held past the top or the foot of the view, the drag goes on scrolling it a line at a time,
  // as long as the button is down there.
  const bool outside = dragPoint_.y() < 0 || dragPoint_.y() >= viewport()->height();
  if (outside && !autoScroll_.isActive()) {
    autoScroll_.start(kAutoScrollMs, this);
  } else if (!outside) {
    autoScroll_.stop();
  }
  ExtendDrag();
}

void LogBox::ExtendDrag() {
  if (dragPoint_.y() < 0) {
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  } else if (dragPoint_.y() >= viewport()->height()) {
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  }
  caret_ = SpotAt({dragPoint_.x(), std::clamp(dragPoint_.y(), 0, viewport()->height() - 1)});
  SelectionChanged();
}

void LogBox::timerEvent(QTimerEvent* event) {
  if (event->timerId() != autoScroll_.timerId()) {
    QAbstractScrollArea::timerEvent(event);
    return;
  }
  if (!dragging_) {
    autoScroll_.stop();
    return;
  }
  ExtendDrag();
}

void LogBox::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = false;
  autoScroll_.stop();
  // As everywhere on X11, a selection made with the mouse can be pasted with the middle button.
  QClipboard* clipboard = QApplication::clipboard();
  if (HasSelection() && clipboard->supportsSelection()) {
    clipboard->setText(SelectedText(), QClipboard::Selection);
  }
}

void LogBox::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  // A word is a run of characters between blanks: a byte of a dump, a status name.
  const Spot spot = SpotAt(event->position().toPoint());
  const QString& line = lines_.Line(spot.line);
  int start = spot.column;
  int end = spot.column;
  while (start > 0 && !line[start - 1].isSpace()) --start;
  while (end < line.size() && !line[end].isSpace()) ++end;
  anchor_ = {spot.line, start};
  caret_ = {spot.line, end};
  dragging_ = false;
  autoScroll_.stop();
  SelectionChanged();
}

void LogBox::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy = menu.addAction(tr("&Copy"), this, &LogBox::Copy);
  copy->setShortcut(QKeySequence::Copy);
  copy->setEnabled(HasSelection());
  QAction* all = menu.addAction(tr("Select All"), this, &LogBox::SelectAll);
  all->setShortcut(QKeySequence::SelectAll);
  menu.exec(event->globalPos());
}

bool LogBox::IsViewKey(int key) {
  return std::any_of(std::begin(kViewKeys), std::end(kViewKeys),
                     [key](const ViewKey& row) { return row.key == key; });
}

}  // namespace tarvik::qt
