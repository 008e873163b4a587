// The main window as an operator uses it for hours: reading back a log that keeps growing,
// keyboard use, the group frames, text that has no one-byte form, an enlarged window and a lost
// port. A real engine on a scripted line; the worker's passes are run by the test.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <memory>
#include <vector>

#include "engine/comm_log.h"
#include "engine/engine.h"
#include "engine/port_watch.h"
#include "engine/worker_loop.h"
#include "support/fake_window_services.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/group_frame.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/info_basic_tab.h"
#include "ui/qt/log_box.h"
#include "ui/qt/qt_window_services.h"
#include "ui_test_registry.h"
#include "window_fixture.h"

namespace tarvik::qt {

namespace {

// A log line of `width` characters (CR LF not counted) that names its number.
std::string Line(int number, int width = 28) {
  std::string text = "line " + std::to_string(number);
  text.resize(static_cast<std::size_t>(width), '.');
  return text + "\r\n";
}

// The text of the line at the top of the box's view.
QString TopLine(const LogBox& box) { return box.LineText(box.TopLine()); }

}  // namespace

class WindowUseTest : public QObject, protected WindowFixture {
  Q_OBJECT

 private:
  LogBox& Log() const { return *dlg_->logBox(); }

  void Press(QWidget* widget, Qt::Key key) {
    widget->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), widget);
    QTest::keyClick(widget, key);
  }

  // Puts the box's text close to its limit: 950 lines of 30 characters with CR LF.
  void FillLog() {
    std::string text;
    for (int i = 0; i < 950; ++i) text += Line(i);
    Log().Append(text);
    QVERIFY(Log().CharacterCount() <= kLogBoxLimit);
    QVERIFY(Log().CharacterCount() > kLogBoxLimit - 1000);
  }

 private slots:
  void init() {
    SetUp();
    OpenWindow(WithoutWorker());
  }

  void cleanup() { TearDown(); }

  // The operator scrolled up and selected three lines; a thousand entries arrive and the trim
  // drops the oldest lines. The same text stays at the top of the view and selected, a copy gives
  // exactly it, and the follow button counts the new lines and brings the view to the end.
  void selectionAndViewSurviveAppendsAndTrim() {
    FillLog();
    QScrollBar* bar = Log().verticalScrollBar();
    bar->setValue(400);
    const QString top = TopLine(Log());
    Log().Select(410, 0, 413, 0);
    const QString selected = Log().SelectedText();
    QCOMPARE(selected, Log().LineText(410) + QLatin1Char('\n') + Log().LineText(411) +
                           QLatin1Char('\n') + Log().LineText(412) + QLatin1Char('\n'));
    QVERIFY(!Log().Following());

    for (int i = 0; i < 1000; ++i) Log().Append(Line(1000 + i, 6));
    QVERIFY(Log().CharacterCount() <= kLogBoxLimit);
    QVERIFY2(!Log().LineText(0).startsWith(QStringLiteral("line 0.")), "the trim did not run");
    QCOMPARE(TopLine(Log()), top);
    QCOMPARE(Log().SelectedText(), selected);
    Log().Copy();
    QCOMPARE(QApplication::clipboard()->text(), selected);

    QCOMPARE(Log().UnseenLines(), 1000);
    QToolButton* follow = Log().followButton();
    QVERIFY(follow->isVisible());
    QCOMPARE(follow->text(), QStringLiteral("1000 new lines \u2013 follow"));
    follow->click();
    QVERIFY(Log().Following());
    QVERIFY(!follow->isVisible());
    Log().Append(Line(5000));
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(Log().LineText(Log().LineCount() - 2).startsWith(QStringLiteral("line 5000")));
  }

  // Ctrl+A, entries arriving, Ctrl+C: the copy is what was selected, not what came after.
  void selectAllCopiesWhatWasSelected() {
    Log().Append("STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n");
    Log().setFocus(Qt::OtherFocusReason);
    QTest::keyClick(&Log(), Qt::Key_A, Qt::ControlModifier);
    for (int i = 0; i < 5; ++i) Log().Append(Line(i));
    QTest::keyClick(&Log(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("STATUS REQUEST --->\n[FC 05 11 27 56]\n"));
    QCOMPARE(Pending(), std::int32_t{0});
  }

  // A long line brings the horizontal scroll bar, which takes a line of the view: a following
  // view still shows the end, entry after entry.
  void aFollowingViewStaysAtTheEndWhenTheScrollBarAppears() {
    FillLog();
    QScrollBar* bar = Log().verticalScrollBar();
    QVERIFY(!Log().horizontalScrollBar()->isVisible());
    Log().Append(std::string(19, ' ') + "[" + std::string(600, 'A') + "]\r\n");
    QTRY_VERIFY(Log().horizontalScrollBar()->isVisible());
    for (int i = 0; i < 3; ++i) Log().Append(Line(7000 + i));
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(Log().Following());
    QCOMPARE(Log().UnseenLines(), 0);
  }

  // A view scrolled up by the operator stays, and coming back to the end by hand follows again.
  void aScrolledViewStaysUntilItReturnsToTheEnd() {
    FillLog();
    QScrollBar* bar = Log().verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(bar->maximum() - 50);
    const QString top = TopLine(Log());
    for (int i = 0; i < 40; ++i) Log().Append(Line(2000 + i));
    QCOMPARE(TopLine(Log()), top);
    QCOMPARE(Log().UnseenLines(), 40);
    bar->setValue(bar->maximum());
    QCOMPARE(Log().UnseenLines(), 0);
    QVERIFY(!Log().followButton()->isVisible());
    Log().Append(Line(3000));
    QCOMPARE(bar->value(), bar->maximum());
  }

  // Tab onto a command button after typing into a value box: Enter presses that button, and
  // only its frame goes out, not the set command of the box.
  void enterPressesTheFocusedButtonOnly() {
    QCOMPARE(link_->Open(1, 9600), 1);
    engine_->state.portOpen = 1;
    dlg_->valueBox(1082)->setFocus();
    QCOMPARE(dlg_->lastValueBox(), dlg_->valueBox(1082));
    Press(dlg_->button(1109), Qt::Key_Return);
    QCOMPARE(Pending(), std::int32_t{'v'});
    WorkerCycle(*engine_);
    WorkerCycle(*engine_);
    QCOMPARE(link_->Written(), std::vector<std::vector<std::uint8_t>>{testing::MakeFrame(0x89)});
    QVERIFY(messages_.empty());
  }

  // In a focused log box the arrows and page keys move the view; the display mode stays, and so
  // does the log. Elsewhere Up still switches the mode.
  void keysInAFocusedLogBoxScrollIt() {
    FillLog();
    QScrollBar* bar = Log().verticalScrollBar();
    const int end = bar->maximum();
    Press(&Log(), Qt::Key_Up);
    QCOMPARE(bar->value(), end - 1);
    // A page as the box pages its scroll bar: the view's height in lines, give or take the line
    // cut at its foot.
    QTest::keyClick(&Log(), Qt::Key_PageUp);
    const int paged = end - 1 - bar->value();
    QVERIFY2(paged >= bar->pageStep() - 1 && paged <= bar->pageStep() + 1,
             qPrintable(QString::number(paged)));
    const int afterPage = bar->value();
    QTest::keyClick(&Log(), Qt::Key_Down);
    QCOMPARE(bar->value(), afterPage + 1);
    QCOMPARE(engine_->state.displayMode.load(), kDisplayBinaryFull);
    QCOMPARE(dlg_->label(1088)->text(), QStringLiteral("Binary and Full"));
    QVERIFY(Log().CharacterCount() > 0);

    Press(dlg_->button(1083), Qt::Key_Up);
    QCOMPARE(engine_->state.displayMode.load(), kDisplayTextLimited);
  }

  // Every group's frame line runs clear of every button: around the buttons of its group, apart
  // from the others, and never through its own title.
  void groupFramesNeverCrossAButton() {
    const QList<GroupFrame*> groups = dlg_->findChildren<GroupFrame*>();
    QCOMPARE(groups.size(), 7);
    for (GroupFrame* group : groups) {
      const QRect frame = group->FrameRect().translated(group->pos());
      const int line = GroupFrame::kLineWidth;
      const QRect inside = frame.adjusted(line, line, -line, -line);
      const QRect title = group->TitleRect().translated(group->pos());
      int enclosed = 0;
      for (QPushButton* button : dlg_->findChildren<QPushButton*>()) {
        if (button->parentWidget() != group->parentWidget()) continue;  // on a tab page
        const QRect place = button->geometry();
        QVERIFY2(!place.intersects(title), qPrintable(button->text()));
        if (!place.intersects(frame)) continue;
        QVERIFY2(inside.contains(place),
                 qPrintable(group->title() + QStringLiteral(" / ") + button->text()));
        ++enclosed;
      }
      QVERIFY2(enclosed > 0, qPrintable(group->title()));
    }
  }

  // Characters with no one-byte form are refused with the box's message; Latin-1 letters go out
  // as their one byte.
  void textOutsideLatin1IsRefused_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("euro sign") << QStringLiteral("\u00FC\u20AC") << false << QByteArray();
    QTest::newRow("emoji") << QStringLiteral("AB\U0001F600") << false << QByteArray();
    QTest::newRow("latin-1") << QStringLiteral("\u00FC\u00DF-1") << true
                             << QByteArray("\xFC\xDF-1");
  }

  void textOutsideLatin1IsRefused() {
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, stored);
    engine_->state.machineNumber.Set("KEPT");
    dlg_->valueBox(1080)->setText(text);
    dlg_->button(1108)->click();
    if (accepted) {
      QVERIFY(messages_.empty());
      QCOMPARE(Pending(), std::int32_t{'n'});
      QCOMPARE(QByteArray::fromStdString(engine_->state.machineNumber.Text()), stored);
    } else {
      QCOMPARE(MessageTexts(),
               std::vector<QString>{QStringLiteral("An inaccurate character was contained.")});
      QCOMPARE(Pending(), std::int32_t{0});
      QCOMPARE(engine_->state.machineNumber.Text(), std::string("KEPT"));
    }
  }

  // Enlarged, the window gives the room to the log box; the tabs move right, the command groups
  // down, and a long dump stays one line with its indent. It never gets smaller than the layout.
  void anEnlargedWindowGivesTheRoomToTheLog() {
    const QSize layoutSize = dlg_->size();
    const QRect logBefore = Log().geometry();
    const QRect tabsBefore = dlg_->tabs()->geometry();
    const QRect resetBefore = dlg_->button(1083)->geometry();
    const QRect exitBefore = dlg_->button(1032)->geometry();

    dlg_->resize(layoutSize + QSize(300, 200));
    QTRY_COMPARE(Log().geometry(), logBefore.adjusted(0, 0, 300, 200));
    QCOMPARE(dlg_->tabs()->geometry(), tabsBefore.translated(300, 0));
    QCOMPARE(dlg_->button(1083)->geometry(), resetBefore.translated(0, 200));
    QCOMPARE(dlg_->button(1032)->geometry(), exitBefore.translated(0, 200));

    std::string dump = "                   [";
    for (int i = 0; i < 100; ++i) dump += "A5 ";
    dump += "]\r\n";
    Log().Append("DOWNLOAD DATA --->\r\n");
    Log().Append(dump);
    QCOMPARE(Log().LineCount(), 3);
    QCOMPARE(Log().LineText(1), QString::fromLatin1(dump.substr(0, dump.size() - 2)));
    QVERIFY(Log().horizontalScrollBar()->maximum() > 0);

    // Never smaller than the layout: the controls are back at the layout's places.
    dlg_->resize(100, 100);
    QCOMPARE(dlg_->size(), layoutSize);
    QTRY_COMPARE(Log().geometry(), logBefore);
    QCOMPARE(dlg_->tabs()->geometry(), tabsBefore);
  }

  // A device gone under the open port: the status fields say so at once and the log tells why.
  void aLostPortShowsInTheFields() {
    QCOMPARE(link_->Open(1, 9600), 1);
    engine_->state.portOpen = 1;
    services_->ShowValidatorStatus("Enable");
    services_->ShowCommStatus("OK");
    link_->Close();
    link_->RefuseOpen(true);
    PortWatch watch;
    watch.Check(*engine_, std::chrono::steady_clock::now());
    InfoBasicTab* info = dlg_->infoTab();
    QCOMPARE(info->field(InfoBasicTab::Field::CommStatus)->text(), QStringLiteral("Port lost"));
    QCOMPARE(info->field(InfoBasicTab::Field::ValidatorStatus)->text(), QString());
    QVERIFY(Log().Text().find("Port lost: COM1") != std::string::npos);
  }
};

TARVIK_UI_TEST(WindowUseTest);

}  // namespace tarvik::qt

#include "window_use_test.moc"
