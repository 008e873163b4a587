#include "ui/qt/banded_scroll_bar_style.h"

#include <QApplication>
#include <QImage>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOptionComplex>
#include <algorithm>

namespace tarvik::qt {

namespace {

// The part of the widget this paint may change, in the painter's coordinates; empty when the
// whole device is painted.
QRegion PaintedRegion(const QPainter& painter) {
  const QPaintEngine* engine = painter.paintEngine();
  if (engine == nullptr) return {};
  const QRegion system = engine->systemClip();
  if (system.isEmpty()) return {};
  bool invertible = false;
  const QTransform fromDevice = painter.deviceTransform().inverted(&invertible);
  if (!invertible) return {};
  QRegion region = fromDevice.map(system);
  if (painter.hasClipping()) region &= painter.clipRegion();
  return region;
}

}  // namespace

BandedScrollBarStyle::BandedScrollBarStyle(const QString& baseStyleKey)
    : QProxyStyle(QStyleFactory::create(baseStyleKey)) {}

void BandedScrollBarStyle::drawComplexControl(ComplexControl control,
                                              const QStyleOptionComplex* option, QPainter* painter,
                                              const QWidget* widget) const {
  const QRect area = option->rect;
  if (control != CC_ScrollBar || area.height() <= kBandRows || painter->device() == nullptr) {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    return;
  }
  // A paint of part of the bar (the slider moved) is clipped to that part by the system, which
  // no style's clip can widen: one no taller than a band is drawn as it is.
  const QRegion painted = PaintedRegion(*painter);
  if (!painted.isEmpty() && painted.boundingRect().height() <= kBandRows) {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    return;
  }
  // Each band is drawn whole into an image of its own rather than through a clip on the
  // painter: the styles set clips of their own while they draw, which would undo the band's.
  const qreal ratio = painter->device()->devicePixelRatioF();
  QImage band(QSize(area.width(), kBandRows) * ratio, QImage::Format_ARGB32_Premultiplied);
  band.setDevicePixelRatio(ratio);
  for (int top = area.top(); top <= area.bottom(); top += kBandRows) {
    // A taller part draws only the bands it reaches.
    if (!painted.isEmpty() && !painted.intersects(QRect(area.left(), top, area.width(), kBandRows)))
      continue;
    band.fill(Qt::transparent);
    {
      QPainter bandPainter(&band);
      bandPainter.setRenderHints(painter->renderHints());
      bandPainter.translate(-area.left(), -top);
      QProxyStyle::drawComplexControl(control, option, &bandPainter, widget);
    }
    const int rows = std::min(kBandRows, area.bottom() - top + 1);
    painter->drawImage(QRectF(area.left(), top, area.width(), rows), band,
                       QRectF(0, 0, area.width() * ratio, rows * ratio));
  }
}

bool PaintsExactlyInBands(const QString& styleKey) {
  return styleKey.compare(QStringLiteral("Fusion"), Qt::CaseInsensitive) == 0;
}

void PaintInBands(QScrollBar* bar) {
  const QString key = QApplication::style()->name();
  if (!PaintsExactlyInBands(key)) return;
  auto* style = new BandedScrollBarStyle(key);
  style->setParent(bar);
  bar->setStyle(style);
}

}  // namespace tarvik::qt
