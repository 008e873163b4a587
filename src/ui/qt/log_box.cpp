#include "ui/qt/log_box.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

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

}  // namespace

LogBox::LogBox(QWidget* parent, std::size_t limit) : QPlainTextEdit(parent), limit_(limit) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFont(DialogFont());
  // The operator may select and copy, never type.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void LogBox::Append(std::string_view text) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(ToDocumentText(text));
  TrimToLimit();
  ScrollToEnd();
}

std::size_t LogBox::CharacterCount() const {
  // characterCount() holds one separator per block, the last block's included; each separator
  // between two blocks stands for CR LF.
  const QTextDocument* doc = document();
  return static_cast<std::size_t>(doc->characterCount() - 1 + doc->blockCount() - 1);
}

void LogBox::TrimToLimit() {
  std::size_t count = CharacterCount();
  if (count <= limit_) return;
  // Find the first line to keep: drop whole lines (text, CR, LF) from the top until the rest
  // fits. When only the last, unterminated line is left and it is still too long, the box is
  // emptied, as there is no line feed to cut at.
  QTextBlock block = document()->firstBlock();
  while (count > limit_) {
    const QTextBlock next = block.next();
    if (!next.isValid()) {
      document()->clear();
      return;
    }
    count -= static_cast<std::size_t>(block.length()) + 1;
    block = next;
  }
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::Start);
  cursor.setPosition(block.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void LogBox::ScrollToEnd() {
  QTextCursor cursor = textCursor();
  cursor.movePosition(QTextCursor::End);
  setTextCursor(cursor);
  ensureCursorVisible();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
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
