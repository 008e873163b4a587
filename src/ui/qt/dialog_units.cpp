#include "ui/qt/dialog_units.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QWidget>
#include <QFontInfo>
#include <QFontMetrics>
#include <QString>
#include <QStringList>

namespace tarvik::qt {

namespace {

constexpr double kDialogFontPoints = 8.0;

// Rounds `value * numerator / denominator` to the nearest integer, halves away from zero.
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

bool Installed(const QString& family) {
  return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

}  // namespace

QFont DialogFont() {
  for (const char* family : {"Courier New", "Liberation Mono"}) {
    if (Installed(QString::fromLatin1(family))) {
      QFont font(QString::fromLatin1(family));
      font.setPointSizeF(kDialogFontPoints);
      font.setFixedPitch(true);
      font.setStyleHint(QFont::TypeWriter);
      return font;
    }
  }
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSizeF(kDialogFontPoints);
  return font;
}

void FixWindowSize(QWidget* window, QSize size) {
  window->resize(size);
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) window->setFixedSize(size);
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over the 52 letters, rounded up as the classic dialog manager does it.
  const QString letters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const int total = metrics.horizontalAdvance(letters);
  baseX_ = (total / 26 + 1) / 2;
  baseY_ = metrics.height();
  if (baseX_ < 1) baseX_ = 1;
  if (baseY_ < 1) baseY_ = 1;
}

int DialogUnits::X(int units) const { return MulDiv(units, baseX_, 4); }
int DialogUnits::Y(int units) const { return MulDiv(units, baseY_, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  const int left = X(x);
  const int top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QRect DialogUnits::CaptionRect(const DialogBox& box) const {
  // Captions are 8 units high but centred on their line.
  constexpr int kCaptionSlack = 2;
  return Rect(box.x, box.y - kCaptionSlack, box.width + kCaptionSlack,
              box.height + 2 * kCaptionSlack);
}

}  // namespace tarvik::qt
