#include "ui/qt/about_dlg.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include "ui/qt/dialog_units.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

QPixmap IconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  // A note lying across the square, with a border and a round seal.
  const QRectF note(s * 0.06, s * 0.22, s * 0.88, s * 0.56);
  painter.setPen(QPen(QColor(0x1f, 0x4d, 0x2b), s / 16.0));
  painter.setBrush(QColor(0x8f, 0xc9, 0x8f));
  painter.drawRoundedRect(note, s * 0.06, s * 0.06);
  painter.setBrush(QColor(0xe8, 0xf5, 0xe0));
  painter.drawEllipse(QPointF(s * 0.5, s * 0.5), s * 0.2, s * 0.2);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(qMax(6, size * 3 / 10));
  painter.setFont(font);
  painter.setPen(QColor(0x1f, 0x4d, 0x2b));
  painter.drawText(note, Qt::AlignCenter, QStringLiteral("T"));
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addPixmap(IconPixmap(size));
  return icon;
}

AboutDlg::AboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromLatin1(kAboutTitle));
  setFont(DialogFont());
  const DialogUnits du(font());
  FixWindowSize(this, QSize(du.X(235), du.Y(55)));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(du.Rect(11, 17, 20, 20));

  auto* line = new QLabel(QString::fromLatin1(kAboutLine), this);
  line->setGeometry(du.Rect(40, 22, 135, 10));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setGeometry(du.Rect(178, 7, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tarvik::qt
