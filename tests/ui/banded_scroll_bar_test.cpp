// The log box's scroll bar painted in bands looks exactly like the same bar painted whole, for
// each style that is painted in bands, wherever the bands' edges cut its arrows and slider, on
// an ordinary screen and on one with two device pixels to the point.
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QStyleFactory>
#include <memory>

#include "ui/qt/banded_scroll_bar_style.h"
#include "ui_test_registry.h"

namespace tarvik::qt {

class BandedScrollBarTest : public QObject {
  Q_OBJECT

 private slots:
  void paintsTheSamePixelsAsTheWholeBar_data() {
    QTest::addColumn<QString>("styleKey");
    for (const QString& key : QStyleFactory::keys()) {
      if (PaintsExactlyInBands(key)) QTest::newRow(key.toLatin1()) << key;
    }
  }

  void paintsTheSamePixelsAsTheWholeBar() {
    QFETCH(QString, styleKey);
    const std::unique_ptr<QStyle> plain(QStyleFactory::create(styleKey));
    BandedScrollBarStyle banded(styleKey);
    // On the screen as the widget paints itself; on a dense screen the way it paints there.
    const auto paint = [](QStyle* style, int height, int value, qreal ratio) {
      QScrollBar bar(Qt::Vertical);
      bar.setStyle(style);
      bar.setRange(0, 1000);
      bar.setPageStep(40);
      bar.setValue(value);
      bar.resize(style->pixelMetric(QStyle::PM_ScrollBarExtent), height);
      if (ratio == 1.0) return bar.grab().toImage();
      QImage image(bar.size() * ratio, QImage::Format_ARGB32_Premultiplied);
      image.setDevicePixelRatio(ratio);
      image.fill(Qt::white);
      QStyleOptionSlider option;
      option.initFrom(&bar);
      option.orientation = Qt::Vertical;
      option.minimum = bar.minimum();
      option.maximum = bar.maximum();
      option.pageStep = bar.pageStep();
      option.singleStep = bar.singleStep();
      option.sliderPosition = option.sliderValue = bar.value();
      option.subControls = QStyle::SC_All;
      QPainter painter(&image);
      style->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, &bar);
      return image;
    };
    constexpr int kBand = BandedScrollBarStyle::kBandRows;
    for (const qreal ratio : {1.0, 2.0}) {
      // Shorter than a band; a last band of one row; arrows and slider across a band's edge; a
      // log box's height.
      for (const int height : {40, kBand + 1, 100, 2 * kBand + 1, 198, 261, 324, 387, 480}) {
        for (int value = 0; value <= 1000; value += 37) {
          const QImage whole = paint(plain.get(), height, value, ratio);
          QVERIFY(!whole.isNull());
          QVERIFY2(paint(&banded, height, value, ratio) == whole,
                   qPrintable(QStringLiteral("ratio %1, height %2, value %3")
                                  .arg(ratio)
                                  .arg(height)
                                  .arg(value)));
        }
      }
    }
  }
};

TARVIK_UI_TEST(BandedScrollBarTest);

}  // namespace tarvik::qt

#include "banded_scroll_bar_test.moc"
