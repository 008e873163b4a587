// The window is laid out in dialog units, as its layout table gives it: a horizontal unit is a
// quarter of the dialog font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace tarvik::qt {

// "Courier New" 8 pt, or the first installed metric-compatible monospace font (Liberation Mono,
// then the system's fixed font), so captions sized for the original font still fit.
QFont DialogFont();

// Gives a top-level window `size` and, where the platform honours it, forbids resizing (a
// dialog-style window has no sizing frame). The offscreen platform of the tests cannot carry
// size constraints and would only warn about them.
void FixWindowSize(QWidget* window, QSize size);

// A place in dialog units, as a layout table gives it.
struct DialogBox {
  int x, y, width, height;
};

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int units) const;
  int Y(int units) const;
  // A rectangle whose edges are converted one by one, so neighbours share their pixel edges.
  QRect Rect(int x, int y, int width, int height) const;
  QRect Rect(const DialogBox& box) const { return Rect(box.x, box.y, box.width, box.height); }
  // The place of a one-line caption laid out at `box`: widened a little downwards and to the
  // right, so the font's descenders are never cut, with its centre where the layout puts it.
  QRect CaptionRect(const DialogBox& box) const;

  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

 private:
  int baseX_;  // average character width in pixels
  int baseY_;  // character height in pixels
};

}  // namespace tarvik::qt
