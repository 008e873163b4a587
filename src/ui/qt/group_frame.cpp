#include "ui/qt/group_frame.h"

#include <qdrawutil.h>

#include <QPainter>
#include <QStyle>

namespace tarvik::qt {

namespace {

// The title starts this far from the box's left edge, with this much room on either side.
constexpr int kTitleIndent = 6;
constexpr int kTitlePadding = 2;

}  // namespace

GroupFrame::GroupFrame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

QRect GroupFrame::FrameRect() const { return rect().adjusted(0, fontMetrics().height() / 2, 0, 0); }

QRect GroupFrame::TitleRect() const {
  const int width = fontMetrics().horizontalAdvance(title()) + 2 * kTitlePadding;
  return {kTitleIndent, 0, width, fontMetrics().height()};
}

void GroupFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.save();
  painter.setClipRegion(QRegion(rect()) - QRegion(TitleRect()));
  // qDrawShadeRect with one line and no middle line draws two pixels: shadow, then light.
  qDrawShadeRect(&painter, FrameRect(), palette(), true, kLineWidth / 2, 0);
  painter.restore();
  style()->drawItemText(&painter, TitleRect(), Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                        isEnabled(), title(), QPalette::WindowText);
}

}  // namespace tarvik::qt
