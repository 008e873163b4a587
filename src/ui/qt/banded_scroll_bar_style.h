// A scroll bar painted in horizontal bands, so that a tall one costs no thread wake-ups.
//
// Qt's raster engine hands any gradient or pattern fill taller than about 96 rows to its thread
// pool and waits for it. The log box's vertical scroll bar is such a fill, and a box following
// the line repaints it with every entry: an idle window polling five times a second woke the two
// pool threads about sixty times a second for it. Painted a band of at most 64 rows at a time,
// every fill stays on the window thread.
#pragma once

#include <QProxyStyle>

class QScrollBar;

namespace tarvik::qt {

class BandedScrollBarStyle : public QProxyStyle {
 public:
  // Rows painted at a time; the raster engine keeps fills below 96 rows on the painting thread.
  static constexpr int kBandRows = 64;

  // A proxy of the style named `baseStyleKey` (a QStyleFactory key).
  explicit BandedScrollBarStyle(const QString& baseStyleKey);

  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget = nullptr) const override;
};

// True for the styles whose scroll bars come out of the bands pixel for pixel as they do whole:
// Fusion shades a vertical bar across its width only. The Windows style's bevels lose a corner
// pixel where a band's edge cuts them, so it and styles not tried are painted whole.
bool PaintsExactlyInBands(const QString& styleKey);

// Gives `bar` a band-painting proxy of the application's style, owned by the bar, when that
// style paints exactly in bands; otherwise leaves the bar as it is.
void PaintInBands(QScrollBar* bar);

}  // namespace tarvik::qt
