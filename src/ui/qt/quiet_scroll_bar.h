// A scroll bar that is repainted only when it would look different.
//
// A plain scroll bar repaints with every change of its range or value, and the log box changes
// both with every entry: the range grows by the lines that came and the value follows it to the
// end. Most of those changes leave the slider on the same pixels, and a repaint of the bar (with
// the frame behind it) cost more than the entry itself. While held, changes only update the bar's
// numbers; on release it is repainted if its slider, or the end it sits at, moved, and where only
// the slider moved, just where it was and where it is.
#pragma once

#include <QRect>
#include <QScrollBar>

namespace tarvik::qt {

class QuietScrollBar : public QScrollBar {
 public:
  explicit QuietScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

  // Changes made while held are not painted until `Release`.
  void Hold() { held_ = true; }
  void Release();

 protected:
  void sliderChange(SliderChange change) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // What a paint shows of the bar's numbers: the slider's place and whether either arrow is
  // at its end (styles grey it out there). Size, hover and press repaint by themselves.
  struct Look {
    QRect slider;
    bool atMinimum = false;
    bool atMaximum = false;
    bool operator==(const Look&) const = default;
  };
  Look Current() const;
  // How far round its rectangle a style may draw the slider (a frame, a shadow), in pixels.
  static constexpr int kSliderEdge = 2;

  bool held_ = false;
  Look painted_;
};

}  // namespace tarvik::qt
