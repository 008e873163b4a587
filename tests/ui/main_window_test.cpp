// The main window through its real widgets: buttons, keys, value boxes, the Exit question and
// the information page, with a real engine on a scripted line and no worker thread, so every
// posted character stays in `pendingCommand` for the test to read.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "engine/comm_log.h"
#include "engine/command_sender.h"
#include "engine/engine.h"
#include "engine/frame_receiver.h"
#include "engine/response_dispatch.h"
#include "support/fake_window_services.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/info_basic_tab.h"
#include "ui/qt/log_box.h"
#include "ui/qt/qt_window_services.h"
#include "ui/qt/statistics_dlg.h"
#include "ui_test_registry.h"
#include "window_fixture.h"

namespace tarvik::qt {

class MainWindowTest : public QObject, protected WindowFixture {
  Q_OBJECT

 private:
  // Gives `widget` the keyboard focus and types `key` where the focus is.
  void Type(QWidget* widget, int key, const QString& text = {}) {
    widget->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), widget);
    QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), static_cast<Qt::Key>(key), text,
                        Qt::NoModifier);
  }
  void TypeChar(QWidget* widget, char c) {
    Type(widget, QTest::asciiToKey(c), QString(QLatin1Char(c)));
  }
  QWidget* NeutralFocus() const { return dlg_->button(1083); }

 private slots:
  void init() {
    SetUp();
    HostSimulatorDlg::Options options;
    // Only the test of Exit with a running worker starts one.
    options.startWorker =
        QLatin1String(QTest::currentTestFunction()) == QLatin1String("exitStopsTheRunningWorker");
    options.acceptanceLog = QLatin1String(QTest::currentTestFunction()) ==
                            QLatin1String("acceptanceLogSwitchEnablesInitAndReadLog");
    OpenWindow(options);
    QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
  }

  void cleanup() { TearDown(); }

  // Every enabled command button posts its character when clicked, and its shortcut (the same
  // character) does the same from a button that has the focus.
  void commandButtonsAndShortcutsPostTheirCharacter_data() {
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<char>("character");
    const struct {
      int id;
      char character;
    } rows[] = {
        {1083, 'r'}, {1084, 'A'}, {1085, 'a'}, {1086, 'J'}, {1087, 'H'}, {1089, 'W'}, {1090, 'K'},
        {1091, 'S'}, {1092, 'R'}, {1093, 'D'}, {1094, 'E'}, {1095, 'M'}, {1096, 'I'}, {1097, 'T'},
        {1098, 'U'}, {1099, 'N'}, {1100, 'B'}, {1101, 'C'}, {1102, 'd'}, {1103, 'e'}, {1104, 'm'},
        {1105, 'i'}, {1106, 't'}, {1107, 'u'}, {1108, 'n'}, {1041, 'b'}, {1042, 'c'}, {1109, 'v'},
        {1110, 'V'}, {1111, 'Q'}, {1112, '!'}, {1113, '3'}, {1114, 'P'},
    };
    for (const auto& row : rows) {
      QTest::addRow("%d '%c'", row.id, row.character) << row.id << row.character;
    }
  }

  void commandButtonsAndShortcutsPostTheirCharacter() {
    QFETCH(int, buttonId);
    QFETCH(char, character);
    QPushButton* button = dlg_->button(buttonId);
    QVERIFY(button != nullptr && button->isEnabled());
    button->click();
    QCOMPARE(Pending(), std::int32_t{character});

    engine_->state.pendingCommand = 0;
    TypeChar(NeutralFocus(), character);
    QCOMPARE(Pending(), std::int32_t{character});
    QVERIFY(messages_.empty());
  }

  void pollForcesAStatusChangeFirst() {
    engine_->state.lastStatus = 0x11;
    engine_->state.statusChanged = 0;
    dlg_->button(1091)->click();
    QCOMPARE(engine_->state.lastStatus.load(), std::uint8_t{0});
    QCOMPARE(engine_->state.statusChanged.load(), std::uint8_t{1});
    QCOMPARE(Pending(), std::int32_t{'S'});
  }

  // The Hopper and Others groups are disabled: no click and no key reaches their buttons.
  void hopperAndOtherButtonsCannotBeReached_data() {
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<char>("character");
    QTest::newRow("Hopper Status") << 1115 << '5';
    QTest::newRow("Hopper Dispense") << 1116 << '6';
    QTest::newRow("Hopper Currency") << 1117 << '7';
    QTest::newRow("Accept Rate") << 1043 << 'G';
    QTest::newRow("Init. Accept Rate") << 1044 << 'g';
    QTest::newRow("Init Log") << 1118 << '1';
    QTest::newRow("Read Log") << 1119 << '2';
  }

  void hopperAndOtherButtonsCannotBeReached() {
    QFETCH(int, buttonId);
    QFETCH(char, character);
    QPushButton* button = dlg_->button(buttonId);
    QVERIFY(button != nullptr);
    QVERIFY(!button->isEnabled());
    button->click();
    TypeChar(NeutralFocus(), character);
    QCOMPARE(Pending(), std::int32_t{0});
  }

  // With the acceptance-log switch Init Log and Read Log post by click and key; the rest of
  // their group, and the hopper buttons, stay out of reach.
  void acceptanceLogSwitchEnablesInitAndReadLog() {
    for (const auto& [id, character] : {std::pair{1118, '1'}, std::pair{1119, '2'}}) {
      QPushButton* button = dlg_->button(id);
      QVERIFY(button != nullptr && button->isEnabled());
      button->click();
      QCOMPARE(Pending(), std::int32_t{character});
      engine_->state.pendingCommand = 0;
      TypeChar(NeutralFocus(), character);
      QCOMPARE(Pending(), std::int32_t{character});
      engine_->state.pendingCommand = 0;
    }
    for (const auto& [id, character] :
         {std::pair{1043, 'G'}, std::pair{1044, 'g'}, std::pair{1115, '5'}}) {
      QVERIFY(!dlg_->button(id)->isEnabled());
      TypeChar(NeutralFocus(), character);
      QCOMPARE(Pending(), std::int32_t{0});
    }
  }

  // The mode buttons, their character shortcuts, Space and Up; Space and Up act even in a value
  // box, where they never reach the text.
  void modeButtonsAndKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("inValueBox");
    QTest::addColumn<int>("labelId");
    QTest::addColumn<QString>("expected");
    QTest::newRow("L") << int(Qt::Key_L) << "L" << false << 1047 << "[ Stack2 ]";
    QTest::newRow("k") << int(Qt::Key_K) << "k" << false << 1048 << "MANU";
    QTest::newRow("O") << int(Qt::Key_O) << "O" << false << 1061 << "[ MANU ]";
    QTest::newRow("Space") << int(Qt::Key_Space) << " " << false << 1061 << "[ MANU ]";
    QTest::newRow("Space in a value box")
        << int(Qt::Key_Space) << " " << true << 1061 << "[ MANU ]";
    QTest::newRow("Up") << int(Qt::Key_Up) << "" << false << 1088 << "Text and Limited";
    QTest::newRow("Up in a value box")
        << int(Qt::Key_Up) << "" << true << 1088 << "Text and Limited";
  }

  void modeButtonsAndKeys() {
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(bool, inValueBox);
    QFETCH(int, labelId);
    QFETCH(QString, expected);
    QLineEdit* box = dlg_->valueBox(1076);
    box->setText(QStringLiteral("1"));
    Type(inValueBox ? static_cast<QWidget*>(box) : NeutralFocus(), key, text);
    QCOMPARE(dlg_->label(labelId)->text(), expected);
    QCOMPARE(box->text(), QStringLiteral("1"));
    QCOMPARE(Pending(), std::int32_t{0});
  }

  void modeLabelsFollowTheEngine() {
    for (int i = 0; i < 4; ++i) dlg_->button(1033)->click();
    QCOMPARE(dlg_->label(1047)->text(), QStringLiteral("[ Stack1 ]"));
    QCOMPARE(engine_->state.stackMode.load(), kStack1);
    services_->AppendLogText("RESET COMMAND --->\r\n");
    dlg_->button(1059)->click();
    QCOMPARE(engine_->state.displayMode.load(), kDisplayTextLimited);
    QCOMPARE(dlg_->logBox()->CharacterCount(), std::size_t{0});
  }

  void charactersInAValueBoxAreTyped() {
    QLineEdit* box = dlg_->valueBox(1074);
    TypeChar(box, 'd');
    TypeChar(box, 'x');  // 'x' would be Exit outside a value box
    QCOMPARE(box->text(), QStringLiteral("dx"));
    QCOMPARE(Pending(), std::int32_t{0});
    QVERIFY(messages_.empty());
    // The arrows are swallowed: the caret stays where it is.
    const int caret = box->cursorPosition();
    Type(box, Qt::Key_Left);
    QCOMPARE(box->cursorPosition(), caret);
  }

  void setKeyOnAButtonChecksItsValueBoxFirst() {
    dlg_->valueBox(1074)->setText(QStringLiteral("12"));
    TypeChar(NeutralFocus(), 'd');
    QCOMPARE(Pending(), std::int32_t{'d'});
    QCOMPARE(engine_->commandValue.load(), 0x12u);
  }

  // With no button focused (here the log box has the focus), Enter is the window's OK.
  void enterClicksTheSetButtonBesideTheLastValueBox() {
    Type(dlg_->logBox(), Qt::Key_Return);
    QCOMPARE(Pending(), std::int32_t{0});
    QVERIFY(messages_.empty());
    QVERIFY(dlg_->isVisible());

    QLineEdit* box = dlg_->valueBox(1080);
    box->setFocus();
    box->setText(QStringLiteral("AB-12"));
    Type(box, Qt::Key_Return);
    QCOMPARE(Pending(), std::int32_t{'n'});
    QCOMPARE(engine_->state.machineNumber.Text(), std::string("AB-12"));

    // The box stays the last one after the focus moved on.
    engine_->state.pendingCommand = 0;
    Type(dlg_->logBox(), Qt::Key_Enter);
    QCOMPARE(Pending(), std::int32_t{'n'});
  }

  // The value entry's checks and messages, through the boxes and set buttons.
  void valueEntryThroughTheWidgets_data() {
    QTest::addColumn<int>("boxId");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<QString>("message");
    QTest::addColumn<char>("posts");
    QTest::addColumn<uint>("commandValue");
    QTest::newRow("1G") << 1077 << "1G" << 1105 << "An inaccurate character was contained." << '\0'
                        << 0u;
    QTest::newRow("blank") << 1075 << "12 3" << 1103 << "An inaccurate character was contained."
                           << '\0' << 0u;
    QTest::newRow("1234") << 1074 << "1234" << 1102 << "" << 'd' << 0x1234u;
    QTest::newRow("abc") << 1079 << "abc" << 1107 << "" << 'u' << 0x0ABCu;
    QTest::newRow("empty barcode inhibit") << 1082 << "" << 1042 << "" << 'c' << 0xFEu;
  }

  void valueEntryThroughTheWidgets() {
    QFETCH(int, boxId);
    QFETCH(QString, text);
    QFETCH(int, buttonId);
    QFETCH(QString, message);
    QFETCH(char, posts);
    QFETCH(uint, commandValue);
    dlg_->valueBox(boxId)->setText(text);
    dlg_->button(buttonId)->click();
    QCOMPARE(Pending(), std::int32_t{posts});
    if (message.isEmpty()) {
      QVERIFY(messages_.empty());
      QCOMPARE(engine_->commandValue.load(), commandValue);
    } else {
      QCOMPARE(MessageTexts(), std::vector<QString>{message});
      QCOMPARE(messages_[0].buttons, MessageButtons::Ok);
    }
  }

  void valueBoxesStopTypingAtTheirLimit() {
    const struct {
      int boxId, limit;
    } limits[] = {{1074, 4}, {1075, 4},  {1076, 2}, {1077, 2}, {1078, 2},
                  {1079, 4}, {1080, 20}, {1081, 4}, {1082, 2}};
    for (const auto& row : limits) {
      QLineEdit* box = dlg_->valueBox(row.boxId);
      box->clear();
      box->setFocus();
      QTest::keyClicks(box, QStringLiteral("0123456789ABCDEF0123456789"));
      QCOMPARE(box->text().size(), row.limit);
    }
  }

  // Every way to Exit asks the question (answered No here); Esc and 'h' do nothing.
  void exitQuestion_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("asks");
    QTest::newRow("x") << "x" << true;
    QTest::newRow("X") << "X" << true;
    QTest::newRow("close box") << "close" << true;
    QTest::newRow("Exit button") << "button" << true;
    QTest::newRow("Esc") << "escape" << false;
    QTest::newRow("h") << "h" << false;
  }

  void exitQuestion() {
    QFETCH(QString, how);
    QFETCH(bool, asks);
    if (how == QLatin1String("close")) {
      dlg_->close();
    } else if (how == QLatin1String("button")) {
      dlg_->button(1032)->click();
    } else if (how == QLatin1String("escape")) {
      Type(NeutralFocus(), Qt::Key_Escape);
    } else {
      TypeChar(NeutralFocus(), how.at(0).toLatin1());
    }
    if (asks) {
      QCOMPARE(
          MessageTexts(),
          std::vector<QString>{QStringLiteral("Do you want to exit [ TARVIK Host Simulator ] ?")});
      QCOMPARE(messages_[0].icon, MessageIcon::Question);
      QCOMPARE(messages_[0].buttons, MessageButtons::YesNo);
    } else {
      QVERIFY(messages_.empty());
    }
    QVERIFY(dlg_->isVisible());
    QVERIFY(!terminated_);
    QCOMPARE(Pending(), std::int32_t{0});
  }

  // Yes ends the program after closing an open port; a close that is refused (an exchange
  // waiting for its answer, a global download) keeps the window and the port as they are.
  void exitAnsweredYes_data() {
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("awaitingResponse");
    QTest::addColumn<bool>("globalDownload");
    QTest::addColumn<bool>("ends");
    QTest::newRow("port closed") << false << false << false << true;
    QTest::newRow("port open and idle") << true << false << false << true;
    QTest::newRow("exchange open") << true << true << false << false;
    QTest::newRow("global download") << true << false << true << false;
  }

  void exitAnsweredYes() {
    QFETCH(bool, portOpen);
    QFETCH(bool, awaitingResponse);
    QFETCH(bool, globalDownload);
    QFETCH(bool, ends);
    if (portOpen) {
      QCOMPARE(link_->Open(1, 9600), 1);
      engine_->state.portOpen = 1;
    }
    engine_->state.awaitingResponse = awaitingResponse ? 1 : 0;
    engine_->state.globalDownloadActive = globalDownload ? 1 : 0;
    answers_.push_back(MessageResult::Yes);
    dlg_->button(1032)->click();

    QCOMPARE(terminated_, ends);
    QCOMPARE(dlg_->isVisible(), !ends);
    QCOMPARE(link_->IsOpen(), portOpen && !ends);
    QCOMPARE(engine_->state.portOpen.load() == 1, portOpen && !ends);
    // The question, and for a refusal the reason.
    QCOMPARE(messages_.size(), std::size_t{ends ? 1u : 2u});
  }

  // The worker is stopped before the end: its start-up opened the port, Exit closes it.
  void exitStopsTheRunningWorker() {
    QTRY_COMPARE(engine_->state.portOpen.load(), std::uint8_t{1});
    QVERIFY(link_->IsOpen());
    answers_.push_back(MessageResult::Yes);
    TypeChar(NeutralFocus(), 'X');
    QVERIFY(terminated_);
    QVERIFY(!link_->IsOpen());
  }

  void exitIsRefusedWhileALogFileIsRecorded() {
    QVERIFY(OpenLogFile(*engine_, dir_->filePath(QStringLiteral("comm.log")).toStdString()));
    answers_.push_back(MessageResult::Yes);
    TypeChar(NeutralFocus(), 'x');
    QCOMPARE(MessageTexts(),
             std::vector<QString>{QStringLiteral("Close log file before exiting the program.")});
    QVERIFY(!terminated_);
  }

  void versionMessage() {
    dlg_->OnVersion();
    QCOMPARE(MessageTexts(),
             std::vector<QString>{QStringLiteral("TARVIK Host Simulator  Ver 2.8")});
    QCOMPARE(messages_[0].icon, MessageIcon::Information);
    QCOMPARE(messages_[0].caption, QStringLiteral("TARVIK Host Simulator"));
  }

  // Two IDLING answers in a row write "Enable" once: the field, blanked behind the window's back
  // after the first, stays blank after the second.
  void validatorStatusIsWrittenOnlyWhenItChanges() {
    QLabel* field = dlg_->infoTab()->field(InfoBasicTab::Field::ValidatorStatus);
    auto dispatchIdling = [&] {
      const std::vector<std::uint8_t> frame = testing::MakeFrame(0x11);
      std::copy(frame.begin(), frame.end(), engine_->rxFrame.begin());
      std::int32_t ended = 0;
      DispatchResponse(*engine_, ended);
    };
    dispatchIdling();
    QCOMPARE(field->text(), QStringLiteral("Enable"));
    field->clear();
    dispatchIdling();
    QCOMPARE(field->text(), QString());
  }

  // A burst of receive errors shows its texts in order, the last one staying; "OK" after "OK"
  // is not written again.
  void commStatusShowsTheLastErrorAndOkOnlyOnce() {
    QLabel* field = dlg_->infoTab()->field(InfoBasicTab::Field::CommStatus);
    QVERIFY(CheckCommErrors(*engine_, kRxTimeOutBit | kOverrunBit));
    QCOMPARE(field->text(), QStringLiteral("Overrun Error"));
    QVERIFY(!CheckCommErrors(*engine_, 0));
    QCOMPARE(field->text(), QStringLiteral("OK"));
    field->clear();
    CheckCommErrors(*engine_, 0);
    QCOMPARE(field->text(), QString());
  }

  // The window has the layout's size, its pages, and room for every caption it shows.
  // "Show Timestamps" puts the time in front of every log line while it is checked, and only
  // then; "Statistics" shows the run so far.
  void timestampsItemAndStatisticsWindow() {
    QAction* stamps = dlg_->showTimestampsAction();
    QVERIFY(stamps != nullptr && stamps->isCheckable() && !stamps->isChecked());
    QCOMPARE(stamps->text(), QStringLiteral("Show Timestamps"));
    link_->Open(1, 9600);
    engine_->state.portOpen.store(1);
    const QRegularExpression stamped(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} RESET COMMAND --->\r\n"
                       "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[FC 05 40 2B 15\\]\r\n$"));
    for (const bool on : {false, true}) {
      stamps->setChecked(on);
      services_->ClearLogBox();
      QTRY_VERIFY(services_->GetLogText().empty());
      QCOMPARE(SendCommand(*engine_, 0x40), 1);
      QTRY_VERIFY(!services_->GetLogText().empty());
      const QString text = QString::fromStdString(services_->GetLogText());
      if (on) {
        QVERIFY2(stamped.match(text).hasMatch(), qPrintable(text));
      } else {
        QCOMPARE(text, QStringLiteral("RESET COMMAND --->\r\n[FC 05 40 2B 15]\r\n"));
      }
    }
    stamps->setChecked(false);
    QVERIFY(!engine_->logTimestamps.load());

    engine_->statistics.FrameReceived(std::vector<std::uint8_t>{0xFC, 0x05, 0x50, 0xAA, 0x05},
                                      std::chrono::steady_clock::now());
    QAction* statistics = dlg_->statisticsAction();
    QVERIFY(statistics != nullptr);
    QCOMPARE(statistics->text(), QStringLiteral("Statistics"));
    statistics->trigger();
    auto* window = dlg_->findChild<StatisticsDlg*>();
    QVERIFY(window != nullptr);
    QCOMPARE(window->windowTitle(), QStringLiteral("Statistics"));
    const QString row = QStringLiteral("0x40  RESET COMMAND                     2        1");
    QVERIFY2(window->text().contains(row), qPrintable(window->text()));
    window->close();
  }

  void layoutFitsEveryCaption() {
    const DialogUnits du(dlg_->font());
    QCOMPARE(dlg_->logBox()->width(), du.X(7 + 228) - du.X(7));
    QCOMPARE(dlg_->tabs()->count(), 3);
    QCOMPARE(dlg_->tabs()->tabText(0), QStringLiteral("Validator Information"));
    QCOMPARE(dlg_->windowTitle(), QStringLiteral("TARVIK Host Simulator"));

    for (QPushButton* button : dlg_->findChildren<QPushButton*>()) {
      QStyleOptionButton option;
      option.initFrom(button);
      option.text = button->text();
      const QRect room =
          button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
      const int needed =
          button->fontMetrics().horizontalAdvance(QString(button->text()).remove(QLatin1Char('&')));
      QVERIFY2(needed <= room.width(), qPrintable(button->text()));
    }
    QList<QLabel*> labels = dlg_->findChildren<QLabel*>();
    for (QLabel* label : labels) {
      if (label->text().isEmpty()) continue;
      const QFontMetrics metrics(label->font());
      QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->contentsRect().width(),
               qPrintable(label->text()));
      QVERIFY2(metrics.height() <= label->height() + 2, qPrintable(label->text()));
    }
    for (QGroupBox* group : dlg_->findChildren<QGroupBox*>()) {
      QVERIFY2(group->fontMetrics().horizontalAdvance(group->title()) < group->width() - 16,
               qPrintable(group->title()));
      const bool hopperOrOthers = group->title() == QLatin1String("Hopper Commands") ||
                                  group->title() == QLatin1String("Others");
      QCOMPARE(group->isEnabled(), !hopperOrOthers);
    }
  }
};

TARVIK_UI_TEST(MainWindowTest);

}  // namespace tarvik::qt

#include "main_window_test.moc"
