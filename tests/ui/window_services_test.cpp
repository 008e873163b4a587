// The Qt window services on their own: the log box, the Validator Information fields, the labels
// and the timers, called from the window thread and from a second thread as the worker does.
#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QThread>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "support/fake_window_services.h"
#include "ui/qt/info_basic_tab.h"
#include "ui/qt/log_box.h"
#include "ui/qt/qt_window_services.h"
#include "ui_test_registry.h"

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace tarvik::qt {
namespace {

// Lines of `length` characters, CR LF included, `count` of them.
std::string Lines(std::size_t count, std::size_t length, char fill = 'L') {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text.append(length - 2, static_cast<char>(fill + static_cast<char>(i % 10)));
    text += "\r\n";
  }
  return text;
}

}  // namespace

class WindowServicesTest : public QObject {
  Q_OBJECT

 private:
  testing::FakeSerialLink link_;
  testing::FakeClock clock_;
  std::unique_ptr<QtWindowServices> services_;
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<LogBox> box_;
  std::unique_ptr<InfoBasicTab> tab_;
  std::unique_ptr<QLabel> stackLabel_;

  QString Field(int id) const { return tab_->fieldById(id)->text(); }

 private slots:
  void init() {
    services_ = std::make_unique<QtWindowServices>();
    engine_ = std::make_unique<Engine>(*services_, link_, clock_);
    services_->Attach(engine_.get());
    box_ = std::make_unique<LogBox>();
    tab_ = std::make_unique<InfoBasicTab>();
    stackLabel_ = std::make_unique<QLabel>(QStringLiteral("[ Stack1 ]"));
    services_->BindLogBox(box_.get());
    services_->BindInfoTab(tab_.get());
    services_->BindLabel(Label::StackMode, stackLabel_.get());
  }

  void cleanup() {
    services_.reset();
    engine_.reset();
    box_.reset();
    tab_.reset();
    stackLabel_.reset();
  }

  // The box keeps at most 28,000 characters, CR LF counting two, by dropping whole lines from
  // the top: after every append it holds exactly what the shared reference rule leaves.
  void logBoxKeepsWholeLinesUnderTheCap_data() {
    QTest::addColumn<std::vector<std::string>>("appends");
    QTest::newRow("27,990 then a 40-character entry") << std::vector<std::string>{
        Lines(999, 28) + std::string(18, 'x') + "\r\n", std::string(38, 'n') + "\r\n"};
    QTest::newRow("exactly at the cap keeps everything") << std::vector<std::string>{
        Lines(998, 28) + std::string(14, 'x') + "\r\n", std::string(38, 'n') + "\r\n"};
    QTest::newRow("over the cap drops whole lines from the top")
        << std::vector<std::string>{Lines(1000, 28), std::string(40, 'n') + "\r\n"};
    QTest::newRow("a line longer than the cap empties the box")
        << std::vector<std::string>{Lines(3, 10), std::string(30000, 'A')};
    QTest::newRow("a long unterminated tail keeps only itself when it fits")
        << std::vector<std::string>{Lines(500, 50), std::string(27990, 'T')};
    QTest::newRow("a long run of short entries")
        << std::vector<std::string>(4000, "STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n");
  }

  void logBoxKeepsWholeLinesUnderTheCap() {
    QFETCH(std::vector<std::string>, appends);
    std::string expected;
    for (const std::string& entry : appends) {
      services_->AppendLogText(entry);
      AppendToLogBoxText(expected, entry);
    }
    QCOMPARE(box_->CharacterCount(), expected.size());
    QVERIFY(box_->CharacterCount() <= kLogBoxLimit);
    QVERIFY(box_->Text() == expected);
    QCOMPARE(services_->GetLogText().size(), expected.size());
  }

  void logBoxShowsTheNewestLine() {
    box_->resize(300, 120);
    box_->show();
    services_->AppendLogText(Lines(200, 30));
    QCOMPARE(box_->verticalScrollBar()->value(), box_->verticalScrollBar()->maximum());
    QVERIFY(box_->verticalScrollBar()->maximum() > 0);
    services_->ClearLogBox();
    QCOMPARE(box_->CharacterCount(), std::size_t{0});
  }

  // The two status fields are written only when the text differs from the one written last;
  // to see that no write happened, the test blanks the field behind the services' back.
  void statusFieldsAreWrittenOnlyWhenChanged_data() {
    QTest::addColumn<bool>("commStatus");
    QTest::newRow("Validator Status") << false;
    QTest::newRow("Comminucation Status") << true;
  }

  void statusFieldsAreWrittenOnlyWhenChanged() {
    QFETCH(bool, commStatus);
    const int id = commStatus ? 1026 : 1027;
    auto show = [&](std::string_view text) {
      commStatus ? services_->ShowCommStatus(text) : services_->ShowValidatorStatus(text);
    };
    show("Enable");
    QCOMPARE(Field(id), QStringLiteral("Enable"));
    tab_->fieldById(id)->clear();
    show("Enable");
    QCOMPARE(Field(id), QString());
    show("Disable");
    QCOMPARE(Field(id), QStringLiteral("Disable"));
    show("Enable");
    QCOMPARE(Field(id), QStringLiteral("Enable"));
  }

  void otherFieldsAreAlwaysWritten() {
    services_->ShowVersion("V1.00");
    services_->ShowBootVersion("B2");
    services_->ShowMachineNumber("AB-12 and more than twenty characters");
    SettingsSnapshot store;
    store.disableSetting = 0x0102;
    services_->ShowSettings(store);
    QCOMPARE(Field(1028), QStringLiteral("V1.00"));
    QCOMPARE(Field(1029), QStringLiteral("B2"));
    QCOMPARE(Field(1030), QStringLiteral("AB-12 and more than "));
    QCOMPARE(Field(1032), QStringLiteral("01 02"));
    QCOMPARE(Field(1038), QStringLiteral("FE"));
    tab_->fieldById(1028)->clear();
    services_->ShowVersion("V1.00");
    QCOMPARE(Field(1028), QStringLiteral("V1.00"));
    // Validator texts are shown as they are, never as markup.
    services_->ShowVersion("<b>x</b>");
    QCOMPARE(tab_->fieldById(1028)->textFormat(), Qt::PlainText);
  }

  // What a second thread asks for happens on the window thread, in the order it was asked; a
  // message box holds only the asking thread, and labels read back without waiting.
  void callsFromAnotherThreadArriveInOrder() {
    struct Seen {
      bool onWindowThread = false;
      QString label, log, status;
    } seen;
    services_->SetMessageHook([&](const QtWindowServices::MessageRequest& request,
                                  std::function<void(MessageResult)> answer) {
      seen.onWindowThread = QThread::currentThread() == qApp->thread();
      seen.label = stackLabel_->text();
      seen.log = QString::fromStdString(box_->Text());
      seen.status = Field(1027);
      answer(request.buttons == MessageButtons::YesNo ? MessageResult::Yes : MessageResult::Ok);
    });
    std::atomic<bool> done{false};
    MessageResult answer = MessageResult::No;
    std::string readBack;
    std::thread worker([&] {
      services_->SetLabelText(Label::StackMode, "[ Stack2 ]");
      readBack = services_->GetLabelText(Label::StackMode);
      services_->AppendLogText("one\r\n");
      services_->ShowValidatorStatus("Enable");
      answer =
          services_->ShowMessage("from the worker", MessageIcon::Question, MessageButtons::YesNo);
      services_->SetLabelText(Label::StackMode, "[Manual]");
      services_->AppendLogText("two\r\n");
      done = true;
    });
    QTRY_VERIFY(done.load());
    worker.join();
    QCoreApplication::processEvents();

    QCOMPARE(readBack, std::string("[ Stack2 ]"));
    QVERIFY(seen.onWindowThread);
    QCOMPARE(seen.label, QStringLiteral("[ Stack2 ]"));
    QCOMPARE(seen.log, QStringLiteral("one\r\n"));
    QCOMPARE(seen.status, QStringLiteral("Enable"));
    QCOMPARE(answer, MessageResult::Yes);
    QCOMPARE(stackLabel_->text(), QStringLiteral("[Manual]"));
    QCOMPARE(box_->Text(), std::string("one\r\ntwo\r\n"));
  }

  // Calls from another thread wait for the window's next turn as one batch: the box then holds
  // exactly what appending each entry in turn would have left, and the batch that waited for it
  // stayed within the box's size however many entries the worker made meanwhile.
  void callsFromAnotherThreadArriveAsOneBatch_data() {
    QTest::addColumn<std::vector<std::string>>("appends");
    QTest::newRow("a flood of short entries")
        << std::vector<std::string>(20000, "STATUS REQUEST --->\r\n[FC 05 11 27 56]\r\n");
    QTest::newRow("a line longer than the box, then more lines")
        << std::vector<std::string>{Lines(3, 10), std::string(30000, 'A'), Lines(2, 12)};
    QTest::newRow("one entry short of the box")
        << std::vector<std::string>{Lines(2, 10), Lines(999, 28)};
    QTest::newRow("a line longer than the box last")
        << std::vector<std::string>{Lines(3, 10), std::string(30000, 'A')};
  }

  void callsFromAnotherThreadArriveAsOneBatch() {
    QFETCH(std::vector<std::string>, appends);
    services_->AppendLogText("before\r\n");
    std::string expected = "before\r\n";
    std::thread worker([&] {
      for (std::size_t i = 0; i < appends.size(); ++i) {
        services_->AppendLogText(appends[i]);
        if (i == appends.size() / 2) services_->SetLabelText(Label::StackMode, "[ Reject ]");
      }
      services_->ShowValidatorStatus("Idling");
    });
    worker.join();
    for (const std::string& entry : appends) AppendToLogBoxText(expected, entry);
    // Nothing before the window's turn.
    QCOMPARE(box_->Text(), std::string("before\r\n"));

    QCoreApplication::processEvents();
    QVERIFY(box_->Text() == expected);
    QVERIFY(box_->CharacterCount() <= kLogBoxLimit);
    QCOMPARE(stackLabel_->text(), QStringLiteral("[ Reject ]"));
    QCOMPARE(Field(1027), QStringLiteral("Idling"));
  }

  // While the worker holds its updates for an answer, nothing it sends reaches the window until
  // it lets go; a call that waits for the window (here reading the box back) is never held, or
  // the worker would wait for ever.
  void heldCallsWaitForTheReleaseButAReadBackDoesNot() {
    std::thread([&] {
      services_->HoldUpdates();
      services_->AppendLogText("request\r\n");
      services_->StartTimer(kResponseTimer, 300);
    }).join();
    QCoreApplication::processEvents();
    QCOMPARE(box_->Text(), std::string());
    QVERIFY(!services_->IsTimerActive(kResponseTimer));

    std::atomic<bool> done{false};
    std::string readBack;
    std::thread reader([&] {
      readBack = services_->GetLogText();
      done = true;
    });
    QTRY_VERIFY(done.load());
    reader.join();
    QCOMPARE(readBack, std::string("request\r\n"));
    QVERIFY(services_->IsTimerActive(kResponseTimer));

    std::thread([&] { services_->AppendLogText("answer\r\n"); }).join();
    QCoreApplication::processEvents();
    QCOMPARE(box_->Text(), std::string("request\r\n"));
    std::thread([&] { services_->ReleaseUpdates(); }).join();
    QCoreApplication::processEvents();
    QCOMPARE(box_->Text(), std::string("request\r\nanswer\r\n"));
    services_->StopTimer(kResponseTimer);
  }

  // The entries of a batch go into the box together across calls that leave the box alone, but
  // never across one that uses it: what came before a clear goes, what came after stays.
  void entriesOfABatchJoinOnlyAcrossCallsThatLeaveTheBoxAlone() {
    std::thread([&] {
      services_->AppendLogText("one\r\n");
      services_->SetLabelText(Label::StackMode, "[ Stack2 ]");
      services_->StartTimer(kPollingTimer, 200);
      services_->AppendLogText("two\r\n");
      services_->ClearLogBox();
      services_->AppendLogText("three\r\n");
      services_->ShowValidatorStatus("Enable");
      services_->AppendLogText("four\r\n");
    }).join();
    QCoreApplication::processEvents();
    QCOMPARE(box_->Text(), std::string("three\r\nfour\r\n"));
    QCOMPARE(stackLabel_->text(), QStringLiteral("[ Stack2 ]"));
    QCOMPARE(Field(1027), QStringLiteral("Enable"));
    services_->StopTimer(kPollingTimer);
  }

  // A timer the engine started while the batch waited runs from when the engine started it: an
  // answer's wait does not stretch the polling period or an answer deadline.
  void aTimerStartedInAWaitingBatchRunsFromItsStart() {
    std::thread([&] {
      services_->HoldUpdates();
      services_->StartTimer(kDownloadTimer, 1000);
    }).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread([&] { services_->ReleaseUpdates(); }).join();
    QCoreApplication::processEvents();
    QVERIFY(services_->IsTimerActive(kDownloadTimer));
    QCOMPARE(services_->TimerInterval(kDownloadTimer), 1000);
    const int remaining = services_->TimerRemaining(kDownloadTimer);
    QVERIFY2(remaining >= 0 && remaining <= 700, qPrintable(QString::number(remaining)));
    services_->StopTimer(kDownloadTimer);
  }

  void logTextReadFromAnotherThreadFollowsItsAppends() {
    std::atomic<bool> done{false};
    std::string text;
    std::thread worker([&] {
      services_->AppendLogText("a\r\n");
      services_->AppendLogText("b\r\n");
      text = services_->GetLogText();
      done = true;
    });
    QTRY_VERIFY(done.load());
    worker.join();
    QCOMPARE(text, std::string("a\r\nb\r\n"));
  }

  // A box asked for by another thread holds that thread until the operator answers, while the
  // window thread goes on serving timers; the answer goes back to the thread that asked.
  void boxFromAnotherThreadHoldsOnlyThatThread() {
    std::function<void(MessageResult)> pendingAnswer;
    QString asked, caption;
    services_->SetMessageHook([&](const QtWindowServices::MessageRequest& request,
                                  std::function<void(MessageResult)> answer) {
      asked = request.text;
      caption = request.caption;
      pendingAnswer = std::move(answer);
    });
    std::atomic<bool> done{false};
    MessageResult answer = MessageResult::Ok;
    std::thread worker([&] {
      answer = services_->ShowMessage("Really?", MessageIcon::Question, MessageButtons::YesNo);
      done = true;
    });
    QTRY_VERIFY(pendingAnswer != nullptr);
    QCOMPARE(asked, QStringLiteral("Really?"));
    QCOMPARE(caption, QStringLiteral("TARVIK Host Simulator"));

    engine_->state.pollingMode = kPollingAuto;
    services_->StartTimer(kPollingTimer, 1);
    QTRY_COMPARE(engine_->state.commandQueued.load(), 1);
    services_->StopTimer(kPollingTimer);
    QVERIFY(!done.load());

    pendingAnswer(MessageResult::No);
    QTRY_VERIFY(done.load());
    worker.join();
    QCOMPARE(answer, MessageResult::No);
  }

  void shutdownReleasesAThreadWaitingForABox() {
    std::function<void(MessageResult)> pendingAnswer;
    services_->SetMessageHook(
        [&](const QtWindowServices::MessageRequest&, std::function<void(MessageResult)> answer) {
          pendingAnswer = std::move(answer);
        });
    std::atomic<bool> done{false};
    MessageResult answer = MessageResult::Yes;
    std::thread worker([&] {
      answer = services_->ShowMessage("Still there?", MessageIcon::Question, MessageButtons::YesNo);
      done = true;
    });
    QTRY_VERIFY(pendingAnswer != nullptr);
    services_->Shutdown();
    worker.join();
    QVERIFY(done.load());
    QCOMPARE(answer, MessageResult::No);
    // An answer that comes after the release reaches no one.
    pendingAnswer(MessageResult::Yes);
    // Later calls from other threads are dropped instead of reaching a closing window.
    std::thread late([&] { services_->AppendLogText("late\r\n"); });
    late.join();
    QCoreApplication::processEvents();
    QCOMPARE(box_->Text(), std::string());
  }

  // Timers belong to the window thread; another thread starts and stops them (a timer touched
  // from the wrong thread would warn, and warnings are fatal here). Expiry calls HandleTimer on
  // the window thread: with AUTO polling, timer 2 queues a status request.
  void timersStartedFromAnotherThreadRunOnTheWindowThread() {
    std::thread([&] {
      services_->StartTimer(kPollingTimer, 200);
      services_->StartTimer(kResponseTimer, 300);
      services_->StopTimer(kResponseTimer);
      services_->StopTimer(kDownloadTimer);
    }).join();
    QCoreApplication::processEvents();
    QVERIFY(services_->IsTimerActive(kPollingTimer));
    QCOMPARE(services_->TimerInterval(kPollingTimer), 200);
    QVERIFY(!services_->IsTimerActive(kResponseTimer));
    QVERIFY(!services_->IsTimerActive(kDownloadTimer));

    std::thread([&] { services_->StopTimer(kPollingTimer); }).join();
    QCoreApplication::processEvents();
    QVERIFY(!services_->IsTimerActive(kPollingTimer));

    engine_->state.pollingMode = kPollingAuto;
    std::thread([&] { services_->StartTimer(kPollingTimer, 1); }).join();
    QTRY_COMPARE(engine_->state.commandQueued.load(), 1);
    QCOMPARE(engine_->state.queuedCommand.load(), std::uint8_t{0x11});
    services_->StopTimer(kPollingTimer);
  }
};

TARVIK_UI_TEST(WindowServicesTest);

}  // namespace tarvik::qt

#include "window_services_test.moc"
