// A group box drawn as the dialog layout expects it: the title sits on the frame's top line, so
// the frame runs half a text line below the box's top edge. The layout puts the first row of
// buttons nine dialog units below that edge, which is room enough for this frame; a style that
// draws the frame under the whole title line runs it through those buttons instead.
#pragma once

#include <QGroupBox>

namespace tarvik::qt {

class GroupFrame : public QGroupBox {
  Q_OBJECT

 public:
  explicit GroupFrame(const QString& title, QWidget* parent = nullptr);

  // The frame's outer rectangle in the box's coordinates; its line is `kLineWidth` pixels wide
  // inside that rectangle.
  QRect FrameRect() const;
  // Where the title is drawn; the frame is not drawn behind it.
  QRect TitleRect() const;

  static constexpr int kLineWidth = 2;  // an etched line: a shadow and a light line

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tarvik::qt
