#include "ui/qt/log_box.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QScrollBar>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <memory>

#include "ui/qt/banded_scroll_bar_style.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/quiet_scroll_bar.h"

namespace tarvik::qt {

namespace {

// Room between the follow button and the edges of the text area, in pixels.
constexpr int kFollowButtonMargin = 4;

// Columns `from` to `to` of a line as drawn: a control character, which the font has no glyph
// of the column's width for, shows as a middle dot so the columns after it stay in place.
QString Shown(const QString& line, int from, int to) {
  QString part = line.mid(from, to - from);
  for (QChar& c : part) {
    const char16_t code = c.unicode();
    if (code < 0x20 || (code >= 0x7F && code < 0xA0)) c = QChar(0xB7);
  }
  return part;
}

int FloorDiv(int value, int divisor) {
  return value >= 0 ? value / divisor : -((-value + divisor - 1) / divisor);
}

}  // namespace

LogBox::LogBox(QWidget* parent, std::size_t limit) : QAbstractScrollArea(parent), lines_(limit) {
  setFocusPolicy(Qt::StrongFocus);
  verticalBar_ = new QuietScrollBar(Qt::Vertical, this);
  setVerticalScrollBar(verticalBar_);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  PaintInBands(verticalScrollBar());
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setCursor(Qt::IBeamCursor);
  setFont(DialogFont());
  TakeFontMetrics();

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
  UpdateScrollBars();
}

void LogBox::TakeFontMetrics() {
  const QFontMetrics metrics(font());
  lineHeight_ = std::max(1, metrics.lineSpacing());
  ascent_ = metrics.ascent();
  columnWidth_ = std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0')));
  rawFont_ = QRawFont::fromFont(font());
}

int LogBox::FullRows() const { return std::max(1, (viewport()->height() - kTop) / lineHeight_); }

QString LogBox::LineText(int index) const {
  if (index < 0 || index >= lines_.Count()) return {};
  return lines_.Line(lines_.First() + index);
}

int LogBox::TopLine() const { return verticalScrollBar()->value(); }

QPoint LogBox::PlaceOf(int line, int column) const {
  const std::int64_t row = lines_.First() + line - paintedTop_;
  return {static_cast<int>(std::lround(kMargin + column * columnWidth_)) -
              horizontalScrollBar()->value(),
          kTop + static_cast<int>(row) * lineHeight_ + lineHeight_ / 2};
}

LogBox::Spot LogBox::SpotAt(QPoint point) const {
  const std::int64_t number = paintedTop_ + FloorDiv(point.y() - kTop, lineHeight_);
  const qreal x = point.x() - kMargin + horizontalScrollBar()->value();
  return Clamped({std::clamp(number, lines_.First(), lines_.End() - 1),
                  static_cast<int>(std::lround(x / columnWidth_))});
}

void LogBox::UpdateScrollBars() {
  const int rows = FullRows();
  QScrollBar* bar = verticalScrollBar();
  bar->setSingleStep(1);
  bar->setPageStep(rows);
  bar->setRange(0, std::max(0, lines_.Count() - rows));
  QScrollBar* across = horizontalScrollBar();
  const int width = viewport()->width();
  const int content = static_cast<int>(std::ceil(2 * kMargin + lines_.Widest() * columnWidth_));
  across->setSingleStep(std::max(1, static_cast<int>(std::lround(2 * columnWidth_))));
  across->setPageStep(std::max(1, width));
  across->setRange(0, std::max(0, content - width));
}

bool LogBox::Following() const {
  return atEnd_ && !verticalScrollBar()->isSliderDown() && !HasSelection();
}

void LogBox::Append(std::string_view text) {
  QScrollBar* bar = verticalScrollBar();
  const bool follow = Following();
  const std::int64_t changedFrom = lines_.End() - 1;  // the unterminated line grows
  const std::int64_t keptTop = paintedTop_;
  lines_.Append(text);
  anchor_ = Clamped(anchor_);
  caret_ = Clamped(caret_);
  // The range grows and the value follows it: one look of the bar at the end, not two on the way.
  verticalBar_->Hold();
  UpdateScrollBars();

  if (follow) {
    bar->setValue(bar->maximum());
  } else {
    // The same text stays at the top of the view unless the trim took it.
    bar->setValue(static_cast<int>(std::max<std::int64_t>(0, keptTop - lines_.First())));
    atEnd_ = bar->value() >= bar->maximum();
    unseenLines_ += static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    ShowUnseen();
  }
  verticalBar_->Release();
  // With no change of the scroll bar's value (a full box losing as many lines as it gains), the
  // view still moves by the lines that came.
  SyncView();
  RepaintFrom(std::max(changedFrom, lines_.First()));
}

void LogBox::Clear() {
  lines_.Clear();
  anchor_ = caret_ = End();
  paintedTop_ = lines_.First();
  UpdateScrollBars();
  verticalScrollBar()->setValue(0);
  viewport()->update();
  atEnd_ = true;
  unseenLines_ = 0;
  followButton_->hide();
}

void LogBox::scrollContentsBy(int dx, int /*dy*/) {
  // The vertical move is taken from the line numbers, not from the change of the scroll bar's
  // value: a trim shifts the value under a view that shows the same lines. A move across is
  // repainted whole, which also tells each row's ink afresh.
  if (dx != 0) viewport()->update();
  SyncView();
}

void LogBox::SyncView() {
  const std::int64_t top = lines_.First() + verticalScrollBar()->value();
  const std::int64_t moved = top - paintedTop_;
  paintedTop_ = top;
  if (moved == 0) return;
  if (std::abs(moved) > FullRows()) {
    viewport()->update();
    return;
  }
  const int rows = static_cast<int>(moved);
  int ink = 0;
  for (const int right : rowInk_) ink = std::max(ink, right);
  if (rowInk_.empty()) ink = viewport()->width();
  // The rows keep their ink as they move; those the move uncovers are blank until painted.
  const auto count = static_cast<std::ptrdiff_t>(rowInk_.size());
  const std::ptrdiff_t shift = std::min<std::ptrdiff_t>(std::abs(rows), count);
  if (rows > 0) {
    std::move(rowInk_.begin() + shift, rowInk_.end(), rowInk_.begin());
    std::fill(rowInk_.end() - shift, rowInk_.end(), 0);
  } else {
    std::move_backward(rowInk_.begin(), rowInk_.end() - shift, rowInk_.end());
    std::fill(rowInk_.begin(), rowInk_.begin() + shift, 0);
  }
  viewport()->scroll(0, -rows * lineHeight_,
                     QRect(0, 0, std::min(ink, viewport()->width()), viewport()->height()));
}

void LogBox::MarkInk(int row, int right) {
  const auto rows = static_cast<std::size_t>(FullRows() + 1);
  // Rows not painted since the view changed its height may hold anything.
  if (rowInk_.size() != rows) rowInk_.assign(rows, viewport()->width());
  if (row < 0 || static_cast<std::size_t>(row) >= rows) return;
  int& ink = rowInk_[static_cast<std::size_t>(row)];
  ink = std::max(ink, right);
}

void LogBox::RepaintFrom(std::int64_t number) {
  const std::int64_t row = std::max<std::int64_t>(0, number - paintedTop_);
  if (row > FullRows()) return;
  const int y = kTop + static_cast<int>(row) * lineHeight_;
  viewport()->update(0, y, viewport()->width(), viewport()->height() - y);
}

std::optional<QGlyphRun> LogBox::GlyphsOf(const QString& text) const {
  QList<quint32> glyphs = rawFont_.glyphIndexesForString(text);
  if (glyphs.size() != text.size() || glyphs.contains(0)) return std::nullopt;
  QList<QPointF> positions(glyphs.size());
  for (qsizetype i = 0; i < positions.size(); ++i)
    positions[i] = QPointF(static_cast<qreal>(i) * columnWidth_, 0);
  QGlyphRun run;
  run.setRawFont(rawFont_);
  run.setGlyphIndexes(glyphs);
  run.setPositions(positions);
  return run;
}

bool LogBox::DrawText(QPainter& painter, QPointF origin, const QString& text) const {
  if (text.isEmpty()) return true;
  if (const std::optional<QGlyphRun> run = GlyphsOf(text)) {
    painter.drawGlyphRun(origin, *run);
    return true;
  }
  painter.drawText(origin, text);
  return false;
}

bool LogBox::DrawRow(QPainter& painter, int y, qreal left, const QString& text) {
  if (text.isEmpty()) return true;
  // An image is only as good as the pixels the row would get drawn directly: the same format
  // (and so the same antialiasing), the same solid background, glyphs on the same subpixel
  // places, so the row moves by whole device pixels only.
  const QPaintDevice* device = painter.paintEngine()->paintDevice();
  const QBrush background = viewport()->palette().brush(viewport()->backgroundRole());
  const qreal ratio = viewport()->devicePixelRatioF();
  const QTransform toDevice = painter.deviceTransform();
  const auto whole = [](qreal value) { return value == std::round(value); };
  const std::optional<QGlyphRun> run = GlyphsOf(text);
  if (!run || device == nullptr || device->devType() != QInternal::Image ||
      background.style() != Qt::SolidPattern || !background.isOpaque() ||
      !painter.worldTransform().isIdentity() || toDevice.type() > QTransform::TxScale ||
      toDevice.m11() != ratio || toDevice.m22() != ratio || !whole(ratio) ||
      !whole(toDevice.dx()) || !whole(toDevice.dy())) {
    return DrawText(painter, QPointF(left, y + ascent_), text);
  }
  const QImage::Format format = static_cast<const QImage*>(device)->format();
  if (format != rowFormat_ || left != rowLeft_ || ratio != rowRatio_) {
    rowImages_.clear();
    rowFormat_ = format;
    rowLeft_ = left;
    rowRatio_ = ratio;
  }
  const QImage* image = rowImages_.object(text);
  if (image == nullptr) {
    // A column to spare past the text for the edge of a glyph that reaches beyond its advance.
    const qreal width =
        std::max<qreal>(0, left) + static_cast<qreal>(text.size() + 1) * columnWidth_;
    auto made = std::make_unique<QImage>(QSize(static_cast<int>(std::ceil(width * ratio)),
                                               static_cast<int>(std::ceil(lineHeight_ * ratio))),
                                         format);
    made->setDevicePixelRatio(ratio);
    made->fill(background.color());
    QPainter imagePainter(made.get());
    imagePainter.setPen(painter.pen());
    imagePainter.drawGlyphRun(QPointF(left, ascent_), *run);
    imagePainter.end();
    image = made.get();
    rowImages_.insert(text, made.release());
  }
  painter.drawImage(QPointF(0, y), *image);
  return true;
}

void LogBox::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(font());
  const QRect area = event->rect();
  const int across = horizontalScrollBar()->value();
  // Only the columns in sight are drawn: a long dump is not laid out for the part off screen.
  const int firstColumn = std::max(0, static_cast<int>((across - kMargin) / columnWidth_));
  const int lastColumn =
      static_cast<int>(std::ceil((across - kMargin + viewport()->width()) / columnWidth_)) + 1;
  const qreal left = kMargin - across + firstColumn * columnWidth_;
  const Spot from = std::min(anchor_, caret_);
  const Spot to = std::max(anchor_, caret_);
  const QPalette& colours = palette();
  // The background has gone over the whole view: every row is blank but for what is drawn now.
  if (event->region().rectCount() == 1 && area.contains(viewport()->rect())) {
    rowInk_.assign(static_cast<std::size_t>(FullRows() + 1), 0);
  }

  const int firstRow = std::max(0, FloorDiv(area.top() - kTop, lineHeight_));
  const int lastRow = FloorDiv(area.bottom() - kTop, lineHeight_);
  for (int row = firstRow; row <= lastRow; ++row) {
    const std::int64_t number = paintedTop_ + row;
    if (number < lines_.First()) continue;
    if (number >= lines_.End()) break;
    const QString& line = lines_.Line(number);
    const int y = kTop + row * lineHeight_;
    const QString shown = Shown(line, firstColumn, lastColumn);
    // A column to spare for the edge of a glyph reaching past its advance; the fallback fonts'
    // glyphs may end anywhere.
    const auto textRight = [&](bool inColumns) {
      return inColumns ? static_cast<int>(
                             std::ceil(left + static_cast<qreal>(shown.size() + 1) * columnWidth_))
                       : viewport()->width();
    };
    painter.setPen(colours.color(QPalette::Text));
    if (from == to || number < from.line || number > to.line) {
      MarkInk(row, textRight(DrawRow(painter, y, left, shown)));
      continue;
    }
    MarkInk(row, textRight(DrawText(painter, QPointF(left, y + ascent_), shown)));

    const int start = number == from.line ? from.column : 0;
    // A selected line break shows as one selected column after the line's end.
    const int end = number == to.line ? to.column : static_cast<int>(line.size()) + 1;
    if (end <= start) continue;
    const QRectF selected(kMargin - across + start * columnWidth_, y, (end - start) * columnWidth_,
                          lineHeight_);
    painter.fillRect(selected, colours.color(QPalette::Highlight));
    MarkInk(row, static_cast<int>(std::ceil(selected.right())) + 1);
    painter.save();
    painter.setClipRect(selected);
    painter.setPen(colours.color(QPalette::HighlightedText));
    DrawText(painter, QPointF(left, y + ascent_), shown);
    painter.restore();
  }
}

void LogBox::Follow() {
  anchor_ = caret_ = End();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  atEnd_ = true;
  unseenLines_ = 0;
  followButton_->hide();
  viewport()->update();
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
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
  PlaceFollowButton();
}

void LogBox::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
    rowImages_.clear();
  }
  if (event->type() == QEvent::FontChange) {
    rowImages_.clear();
    TakeFontMetrics();
    UpdateScrollBars();
    viewport()->update();
  }
}

}  // namespace tarvik::qt
