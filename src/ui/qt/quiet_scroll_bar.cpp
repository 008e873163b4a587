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
  if (Current() != painted_) update();
}

void QuietScrollBar::paintEvent(QPaintEvent* event) {
  painted_ = Current();
  QScrollBar::paintEvent(event);
}

}  // namespace tarvik::qt
