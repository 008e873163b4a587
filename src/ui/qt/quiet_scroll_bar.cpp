#include "ui/qt/quiet_scroll_bar.h"

#include <QAccessible>
#include <QStyle>
#include <QStyleOptionSlider>

namespace tarvik::qt {

QuietScrollBar::QuietScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {}

QuietScrollBar::Look QuietScrollBar::Current() const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
          value() == minimum(), value() == maximum()};
}

void QuietScrollBar::sliderChange(SliderChange change) {
  if (change != SliderOrientationChange && (held_ || Current() == painted_)) {
    // Assistive tools still hear of every value, as from a plain bar.
    if (change == SliderValueChange) {
      QAccessibleValueChangeEvent event(this, value());
      QAccessible::updateAccessibility(&event);
    }
    return;
  }
  QScrollBar::sliderChange(change);
}

void QuietScrollBar::Release() {
  held_ = false;
  const Look now = Current();
  if (now == painted_) return;
  if (now.atMinimum != painted_.atMinimum || now.atMaximum != painted_.atMaximum) {
    update();
    return;
  }
  // Only the slider moved. The groove under it looks the same all along its length, so the bar
  // changes only where the slider was and where it is, with the edge the style draws round it.
  update(painted_.slider.united(now.slider)
             .adjusted(-kSliderEdge, -kSliderEdge, kSliderEdge, kSliderEdge));
}

void QuietScrollBar::paintEvent(QPaintEvent* event) {
  // A paint of part of the bar shows the slider where it is now all the same: the part holds
  // every pixel that changed since the last.
  painted_ = Current();
  QScrollBar::paintEvent(event);
}

}  // namespace tarvik::qt
