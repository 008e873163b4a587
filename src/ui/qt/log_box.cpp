#include "ui/qt/log_box.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>
#include <algorithm>
#include <iterator>

#include "ui/qt/banded_scroll_bar_style.h"
#include "ui/qt/dialog_units.h"

namespace tarvik::qt {

namespace {

// The document keeps one paragraph separator per line break; the box counts CR and LF. A lone
// CR would show as a stray glyph and is dropped; a lone LF is a line break like CR LF.
QString ToDocumentText(std::string_view text) {
  QString result;
  result.reserve(static_cast<qsizetype>(text.size()));
  for (char c : text) {
    if (c == '\r') continue;
    result.append(QChar(static_cast<unsigned char>(c)));
  }
  return result;
}

// Room between the follow button and the edges of the text area, in pixels.
constexpr int kFollowButtonMargin = 4;

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

LogBox::LogBox(QWidget* parent, std::size_t limit) : QPlainTextEdit(parent), limit_(limit) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  PaintInBands(verticalScrollBar());
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFont(DialogFont());
  // The operator may select and copy, never type.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  followButton_ = new QToolButton(this);
  followButton_->setFocusPolicy(Qt::NoFocus);
  followButton_->setCursor(Qt::PointingHandCursor);
  followButton_->hide();
  connect(followButton_, &QToolButton::clicked, this, &LogBox::Follow);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    atEnd_ = value >= verticalScrollBar()->maximum();
    OnScrolled();
  });
  // The range also grows without an entry: the horizontal scroll bar appearing under a long
  // line takes a line of the view. A following view stays at the end all the same.
  connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] {
    if (Following()) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    OnScrolled();
  });
  connect(this, &QPlainTextEdit::selectionChanged, this, &LogBox::OnScrolled);
}

bool LogBox::Following() const {
  return atEnd_ && !verticalScrollBar()->isSliderDown() && !textCursor().hasSelection();
}

void LogBox::Append(std::string_view text) {
  QScrollBar* bar = verticalScrollBar();
  const bool follow = Following();
  // Without wrapping, the scroll position counts lines: it is the top line's number.
  const int topLine = bar->value();
  const int column = horizontalScrollBar()->value();
  // Kept as numbers: a cursor would move along with the insertion.
  const QTextCursor before = textCursor();
  const bool selected = before.hasSelection();
  const int anchor = before.anchor();
  const int position = before.position();

  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  const QString added = ToDocumentText(text);
  end.insertText(added);
  // A selection that reaches the end would swallow the new text; it stays what was selected.
  if (selected && (textCursor().anchor() != anchor || textCursor().position() != position)) {
    QTextCursor kept(document());
    kept.setPosition(anchor);
    kept.setPosition(position, QTextCursor::KeepAnchor);
    setTextCursor(kept);
  }
  const int dropped = TrimToLimit();

  if (follow) {
    bar->setValue(bar->maximum());
    horizontalScrollBar()->setValue(column);
    return;
  }
  // The same text stays at the top of the view unless the trim took it.
  bar->setValue(std::max(0, topLine - dropped));
  horizontalScrollBar()->setValue(column);
  unseenLines_ += static_cast<int>(added.count(QLatin1Char('\n')));
  ShowUnseen();
}

void LogBox::Clear() {
  clear();
  atEnd_ = true;
  unseenLines_ = 0;
  followButton_->hide();
}

std::size_t LogBox::CharacterCount() const {
  // characterCount() holds one separator per block, the last block's included; each separator
  // between two blocks stands for CR LF.
  const QTextDocument* doc = document();
  return static_cast<std::size_t>(doc->characterCount() - 1 + doc->blockCount() - 1);
}

int LogBox::TrimToLimit() {
  std::size_t count = CharacterCount();
  if (count <= limit_) return 0;
  // Find the first line to keep: drop whole lines (text, CR, LF) from the top until the rest
  // fits. When only the last, unterminated line is left and it is still too long, the box is
  // emptied, as there is no line feed to cut at.
  QTextBlock block = document()->firstBlock();
  int dropped = 0;
  while (count > limit_) {
    const QTextBlock next = block.next();
    if (!next.isValid()) {
      const int all = document()->blockCount();
      document()->clear();
      return all;
    }
    count -= static_cast<std::size_t>(block.length()) + 1;
    block = next;
    ++dropped;
  }
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::Start);
  cursor.setPosition(block.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  return dropped;
}

void LogBox::Follow() {
  QTextCursor cursor = textCursor();
  cursor.movePosition(QTextCursor::End);
  setTextCursor(cursor);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  atEnd_ = true;
  unseenLines_ = 0;
  followButton_->hide();
}

void LogBox::OnScrolled() {
  if (unseenLines_ == 0 || !Following()) return;
  // The operator scrolled back to the end (and holds no selection): following resumes.
  unseenLines_ = 0;
  followButton_->hide();
}

void LogBox::ShowUnseen() {
  if (unseenLines_ == 0) return;
  followButton_->setText(unseenLines_ == 1
                             ? QStringLiteral("1 new line \u2013 follow")
                             : QStringLiteral("%1 new lines \u2013 follow").arg(unseenLines_));
  followButton_->adjustSize();
  PlaceFollowButton();
  followButton_->show();
  followButton_->raise();
}

void LogBox::PlaceFollowButton() {
  const QRect area = viewport()->geometry();
  const QSize size = followButton_->sizeHint();
  followButton_->setGeometry(area.right() - size.width() - kFollowButtonMargin,
                             area.bottom() - size.height() - kFollowButtonMargin, size.width(),
                             size.height());
}

void LogBox::resizeEvent(QResizeEvent* event) {
  QPlainTextEdit::resizeEvent(event);
  PlaceFollowButton();
}

bool LogBox::IsViewKey(int key) {
  return std::any_of(std::begin(kViewKeys), std::end(kViewKeys),
                     [key](const ViewKey& row) { return row.key == key; });
}

void LogBox::keyPressEvent(QKeyEvent* event) {
  // Plain arrows and page keys move the view, not an invisible caret; with Shift they still
  // extend a selection, and Ctrl+A and Ctrl+C work as everywhere.
  if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
    for (const ViewKey& row : kViewKeys) {
      if (row.key != event->key()) continue;
      (row.horizontal ? horizontalScrollBar() : verticalScrollBar())->triggerAction(row.action);
      return;
    }
  }
  QPlainTextEdit::keyPressEvent(event);
}

std::string LogBox::Text() const {
  // Block by block rather than toPlainText(), which would turn a no-break space into a blank.
  std::string result;
  result.reserve(CharacterCount());
  for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next()) {
    if (block != document()->firstBlock()) result += "\r\n";
    for (QChar c : block.text()) {
      result += c.unicode() <= 0xFF ? static_cast<char>(c.unicode()) : '?';
    }
  }
  return result;
}

}  // namespace tarvik::qt
