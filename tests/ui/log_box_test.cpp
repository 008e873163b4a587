// The log box drawn as entries arrive: what the screen shows after lines were moved by copying
// pixels and only the new ones drawn is exactly what a fresh paint of the box shows, whatever
// came in between; and the operator's mouse and keys select the text a copy then gives.
#include "ui/qt/log_box.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <functional>
#include <memory>
#include <string>

#include "ui_test_registry.h"

namespace tarvik::qt {

namespace {

// A box small enough that a few hundred entries make it drop lines.
constexpr std::size_t kSmallLimit = 3000;

std::string Entry(int number) {
  return "STATUS REQUEST ---> " + std::to_string(number) +
         "\r\n                   [FC 05 11 27 56]\r\n";
}

// The box as the screen shows it: the window's backing store, where copied pixels stay.
QImage OnScreen(QWidget& box) {
  QApplication::processEvents();
  return box.screen()
      ->grabWindow(box.winId(), 0, 0, box.width(), box.height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

// The box painted afresh from its lines.
QImage Fresh(QWidget& box) { return box.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Where two pictures of the same size differ, for the failure's message.
QString Difference(const QImage& a, const QImage& b) {
  QRect where;
  int pixels = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) == b.pixel(x, y)) continue;
      where |= QRect(x, y, 1, 1);
      ++pixels;
    }
  }
  return QStringLiteral("%1 pixels differ within (%2,%3) %4x%5")
      .arg(pixels)
      .arg(where.x())
      .arg(where.y())
      .arg(where.width())
      .arg(where.height());
}

enum class Story {
  OneEntryATurn,
  TwoEntriesATurn,
  EntryInPieces,
  ScrolledUp,
  Selected,
  ScrolledRight,
  MoreThanTheBox,
};

}  // namespace

class LogBoxTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<LogBox> box_;

  void Show() {
    box_->resize(320, 200);
    box_->show();
    QVERIFY(QTest::qWaitForWindowExposed(box_.get()));
  }

  // Entries arriving one event-loop turn at a time, as the window's batches bring them.
  void Arrive(int from, int count) {
    for (int i = from; i < from + count; ++i) {
      box_->Append(Entry(i));
      QApplication::processEvents();
    }
  }

 private slots:
  void init() {
    box_ = std::make_unique<LogBox>(nullptr, kSmallLimit);
    Show();
  }

  void cleanup() { box_.reset(); }

  void theScreenShowsWhatAFreshPaintShows_data() {
    QTest::addColumn<Story>("story");
    QTest::newRow("following, one entry a turn") << Story::OneEntryATurn;
    QTest::newRow("following, two entries a turn") << Story::TwoEntriesATurn;
    QTest::newRow("an entry in pieces") << Story::EntryInPieces;
    QTest::newRow("scrolled up while lines are dropped") << Story::ScrolledUp;
    QTest::newRow("a selection across lines") << Story::Selected;
    QTest::newRow("scrolled right") << Story::ScrolledRight;
    QTest::newRow("more than the box at once") << Story::MoreThanTheBox;
  }

  void theScreenShowsWhatAFreshPaintShows() {
    QFETCH(Story, story);
    Arrive(0, 40);
    switch (story) {
      case Story::OneEntryATurn:
        Arrive(40, 200);
        break;
      case Story::TwoEntriesATurn:
        for (int i = 40; i < 240; i += 2) {
          box_->Append(Entry(i));
          box_->Append(Entry(i + 1));
          QApplication::processEvents();
        }
        break;
      case Story::EntryInPieces:
        for (const char* piece :
             {"STATUS ", "REQUEST --->", "\r\n  [FC 05", " 11 27 56]", "\r\n"}) {
          box_->Append(piece);
          QApplication::processEvents();
        }
        break;
      case Story::ScrolledUp:
        box_->verticalScrollBar()->setValue(5);
        QApplication::processEvents();
        Arrive(40, 30);
        QVERIFY(!box_->Following());
        break;
      case Story::Selected:
        box_->Select(box_->LineCount() - 6, 3, box_->LineCount() - 3, 9);
        QApplication::processEvents();
        Arrive(40, 10);
        QVERIFY(box_->HasSelection());
        break;
      case Story::ScrolledRight:
        box_->Append(std::string(19, ' ') + "[" + std::string(300, 'A') + "]\r\n");
        QApplication::processEvents();
        box_->horizontalScrollBar()->setValue(57);
        QApplication::processEvents();
        Arrive(40, 20);
        break;
      case Story::MoreThanTheBox: {
        std::string flood;
        for (int i = 40; i < 140; ++i) flood += Entry(i);
        box_->Append(flood);
        QApplication::processEvents();
        break;
      }
    }
    const QImage shown = OnScreen(*box_);
    const QImage fresh = Fresh(*box_);
    QCOMPARE(shown.size(), fresh.size());
    QVERIFY2(shown == fresh, qPrintable(Difference(shown, fresh)));
  }

  // A row drawn from the image the box keeps of it has the pixels of the same row drawn glyph by
  // glyph, as a row the selection touches is.
  void aRowFromItsImageLooksAsOneDrawnDirectly() {
    box_->Clear();
    const std::string line = "              <--- ACCEPTING [FC 05 12 BC 64]";
    box_->Append(line + "\r\n" + line + "\r\n" + line + "\r\n");
    // From the end of the first line to the start of the second: the first line is drawn
    // directly with only its line break selected, the third from its image.
    const int length = static_cast<int>(line.size());
    box_->Select(0, length, 1, 0);
    const QImage shown = OnScreen(*box_);
    const QPoint origin = box_->viewport()->mapTo(box_.get(), QPoint(0, 0));
    const int rowHeight = box_->PlaceOf(1, 0).y() - box_->PlaceOf(0, 0).y();
    const auto row = [&](int index) {
      const int top = box_->PlaceOf(index, 0).y() - rowHeight / 2;
      return shown.copy(origin.x(), origin.y() + top, box_->PlaceOf(0, length).x(), rowHeight);
    };
    QVERIFY(row(0) != row(3));  // the rows compared are not blank
    QVERIFY2(row(0) == row(2), qPrintable(Difference(row(0), row(2))));
  }

  // A drag from inside one line into another selects from there to there, Shift with the arrows
  // moves the selection's end, a double click takes a word, and a copy gives what is selected
  // with a line feed between lines.
  void theMouseAndTheKeysSelectWhatACopyGives() {
    box_->Clear();
    box_->Append("STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n              <--- IDLING\r\n");
    QApplication::processEvents();
    QWidget* view = box_->viewport();
    QTest::mousePress(view, Qt::LeftButton, {}, box_->PlaceOf(0, 7));
    QTest::mouseMove(view, box_->PlaceOf(1, 4));
    QTest::mouseRelease(view, Qt::LeftButton, {}, box_->PlaceOf(1, 4));
    QCOMPARE(box_->SelectedText(), QStringLiteral("REQUEST --->\n[FC "));
    QVERIFY(!box_->Following());

    QTest::keyClick(box_.get(), Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(box_.get(), Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(box_->SelectedText(), QStringLiteral("REQUEST --->\n[FC 05"));
    QTest::keyClick(box_.get(), Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(box_.get(), Qt::Key_End, Qt::ShiftModifier);
    QCOMPARE(box_->SelectedText(),
             QStringLiteral("REQUEST --->\n[FC 05 11 27 56]\n              <--- IDLING"));
    QTest::keyClick(box_.get(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), box_->SelectedText());

    QTest::mouseDClick(view, Qt::LeftButton, {}, box_->PlaceOf(2, 25));
    QCOMPARE(box_->SelectedText(), QStringLiteral("IDLING"));
    box_->Follow();
    QVERIFY(!box_->HasSelection());
    QVERIFY(box_->Following());
  }

  // Shift with an arrow, nothing selected and no click in view: the selection starts at the
  // top line in view, not somewhere out of sight.
  void keysSelectFromTheTopOfTheView() {
    Arrive(0, 40);
    box_->verticalScrollBar()->setValue(10);
    box_->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(box_.get(), Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(box_->SelectedText(), box_->LineText(10) + QLatin1Char('\n'));
    QCOMPARE(box_->TopLine(), 10);

    // Keys that only move the view leave the click where it was, in view or not: Shift+click
    // after them selects from the click.
    QTest::mouseClick(box_->viewport(), Qt::LeftButton, {}, box_->PlaceOf(12, 0));
    box_->verticalScrollBar()->setValue(25);
    QTest::keyClick(box_.get(), Qt::Key_Down);
    QCOMPARE(box_->TopLine(), 26);
    QTest::mouseClick(box_->viewport(), Qt::LeftButton, Qt::ShiftModifier, box_->PlaceOf(28, 0));
    QVERIFY(box_->SelectedText().startsWith(box_->LineText(12) + QLatin1Char('\n')));
    QVERIFY(box_->SelectedText().endsWith(box_->LineText(27) + QLatin1Char('\n')));
  }

  // The horizontal scroll bar reaches as far as the longest line kept: it appears with a long
  // dump and goes once the dump has been dropped from the top, however many lines shared its
  // length meanwhile.
  void theWidthFollowsTheLongestLineKept() {
    QScrollBar* across = box_->horizontalScrollBar();
    QCOMPARE(across->maximum(), 0);
    const std::string dump = "[" + std::string(200, 'A') + "]\r\n";
    box_->Append(dump);
    box_->Append(dump);
    const int wide = across->maximum();
    QVERIFY(wide > 0);
    Arrive(40, 5);
    QVERIFY(!box_->LineText(0).startsWith(QStringLiteral("STATUS REQUEST ---> 0")));
    QCOMPARE(across->maximum(), wide);  // still in the box: only older lines were dropped
    QVERIFY(box_->Text().find(dump) != std::string::npos);
    Arrive(100, 60);
    QVERIFY(box_->Text().find(dump) == std::string::npos);
    QCOMPARE(across->maximum(), 0);
  }

  // A drag held below the view goes on scrolling it and extending the selection until the
  // button is let go.
  void aDragHeldBelowTheViewScrollsOn() {
    Arrive(0, 60);
    box_->verticalScrollBar()->setValue(0);
    QWidget* view = box_->viewport();
    QTest::mousePress(view, Qt::LeftButton, {}, box_->PlaceOf(1, 0));
    QTest::mouseMove(view, QPoint(10, view->height() + 20));
    QTRY_VERIFY(box_->TopLine() >= 5);
    QVERIFY(box_->SelectedText().startsWith(box_->LineText(1) + QLatin1Char('\n')));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(10, view->height() + 20));
    const int top = box_->TopLine();
    const QString selected = box_->SelectedText();
    QTest::qWait(200);
    QCOMPARE(box_->TopLine(), top);
    QCOMPARE(box_->SelectedText(), selected);
  }
};

TARVIK_UI_TEST(LogBoxTest);

}  // namespace tarvik::qt

#include "log_box_test.moc"
