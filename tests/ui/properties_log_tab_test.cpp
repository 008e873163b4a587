// The Properties dialog and the Log page through their real widgets: opened from the menu,
// filled from the settings file, refused and accepted; the recording button through a
// recording. A real engine on a scripted line and no worker thread.
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "engine/comm_log.h"
#include "engine/engine.h"
#include "engine/port_control.h"
#include "support/fake_window_services.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/info_log_tab.h"
#include "ui/qt/properties_dlg.h"
#include "ui/qt/qt_window_services.h"
#include "ui_test_registry.h"
#include "window_fixture.h"

namespace tarvik::qt {

class PropertiesLogTabTest : public QObject, protected WindowFixture {
  Q_OBJECT

 private:
  void WriteSettings(const QByteArray& text) {
    QFile file(SettingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
  }
  QByteArray ReadFile(const QString& path) const {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
  QString LabelText(int id) const { return dlg_->label(id)->text(); }

  // Builds the window on the current settings file and opens the port, as the worker would.
  void OpenWindowWithPort() {
    OpenWindow(WithoutWorker());
    engine_->state.logRecordingStopped = 1;
    QVERIFY(ToggleComPort(*engine_));
  }

  PropertiesDlg* OpenProperties() {
    dlg_->propertiesAction()->trigger();
    PropertiesDlg* dialog = dlg_->propertiesDlg();
    if (dialog != nullptr && !QTest::qWaitForWindowExposed(dialog)) return nullptr;
    return dialog;
  }

 private slots:
  void init() { SetUp(); }
  void cleanup() { TearDown(); }

  // The dialog shows the file, not memory: a COM PORT of 123 selects COM13, an OPERATING MODE
  // of 2 (Test mode in memory) leaves the list without a selection.
  void propertiesOpensFromTheMenuFilledFromTheFile() {
    WriteSettings(
        "[BEXALTOOL]\nCOM PORT=123\nBAUD RATE=1\nPOLLING DURATION=750\n"
        "OPERATING MODE=2\n");
    OpenWindowWithPort();
    QCOMPARE(engine_->state.ope_mode_index.load(), 2);

    PropertiesDlg* dialog = OpenProperties();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Properties"));
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->comPortList()->count(), 20);
    QCOMPARE(dialog->comPortList()->itemText(0), QStringLiteral("COM1 (none)"));
    QCOMPARE(dialog->comPortList()->itemText(19), QStringLiteral("COM20 (none)"));
    QCOMPARE(dialog->comPortList()->currentIndex(), 12);
    QCOMPARE(dialog->baudRateList()->currentText(), QStringLiteral("19,200"));
    QCOMPARE(dialog->pollingField()->text(), QStringLiteral("750"));
    QCOMPARE(dialog->operatingModeList()->currentIndex(), -1);
    QCOMPARE(dialog->packetField()->text(), QStringLiteral("246"));
    QCOMPARE(dialog->pollingField()->maxLength(), 5);
    QCOMPARE(dialog->packetField()->maxLength(), 3);
    QVERIFY(messages_.empty());

    // A second open is refused while the first is there.
    dlg_->propertiesAction()->trigger();
    QCOMPARE(messages_.size(), std::size_t{1});
    QCOMPARE(messages_[0].text, QStringLiteral("This dialog box has already been opened."));
    QCOMPARE(dlg_->propertiesDlg(), dialog);
  }

  void numberFieldsTakeTypedDigitsOnly() {
    OpenWindowWithPort();
    PropertiesDlg* dialog = OpenProperties();
    QVERIFY(dialog != nullptr);
    dialog->pollingField()->clear();
    QTest::keyClicks(dialog->pollingField(), QStringLiteral("1a-2+34567"));
    QCOMPARE(dialog->pollingField()->text(), QStringLiteral("12345"));
    dialog->packetField()->clear();
    QTest::keyClicks(dialog->packetField(), QStringLiteral("x9 9"));
    QCOMPARE(dialog->packetField()->text(), QStringLiteral("99"));
  }

  // A refused OK leaves the dialog open, the port open and every setting as it was; the
  // corrected OK closes it, saves, reopens the port and shows the settings in force.
  void refusedThenAccepted() {
    OpenWindowWithPort();
    QCOMPARE(LabelText(1071), QStringLiteral("200"));
    QCOMPARE(LabelText(1073), QStringLiteral("1"));
    PropertiesDlg* dialog = OpenProperties();
    QVERIFY(dialog != nullptr);
    dialog->comPortList()->setCurrentIndex(4);
    dialog->baudRateList()->setCurrentIndex(2);
    dialog->pollingField()->setText(QStringLiteral("9"));
    dialog->operatingModeList()->setCurrentIndex(1);
    dialog->packetField()->setText(QStringLiteral("100"));

    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    QCOMPARE(messages_.size(), std::size_t{1});
    QCOMPARE(messages_[0].caption, QStringLiteral("Polling Duration"));
    QCOMPARE(messages_[0].text,
             QStringLiteral("Error : The value must not be less than 10 and greater than 30000."));
    QCOMPARE(dlg_->propertiesDlg(), dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(engine_->state.portOpen.load(), std::uint8_t{1});
    QVERIFY(link_->IsOpen());
    QCOMPARE(engine_->state.com_port_index.load(), 0);
    QVERIFY(!QFile::exists(SettingsPath()));

    dialog->packetField()->setText(QStringLiteral("247"));
    dialog->pollingField()->setText(QStringLiteral("300"));
    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    QCOMPARE(messages_.size(), std::size_t{2});
    QCOMPARE(messages_[1].caption, QStringLiteral("Download Packet Size"));
    QCOMPARE(engine_->state.polling_duration.load(), 200);

    dialog->packetField()->setText(QStringLiteral("100"));
    QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    QCOMPARE(messages_.size(), std::size_t{2});
    QCOMPARE(dlg_->propertiesDlg(), static_cast<PropertiesDlg*>(nullptr));
    QCOMPARE(engine_->state.com_port_index.load(), 4);
    QCOMPARE(engine_->state.polling_duration.load(), 300);
    QCOMPARE(link_->LastPortNumber(), 5);
    QCOMPARE(link_->LastBaudRate(), 38400);
    QCOMPARE(services_->TimerInterval(kPollingTimer), 300);
    QCOMPARE(LabelText(1071), QStringLiteral("300"));
    QCOMPARE(LabelText(1073), QStringLiteral("5"));
    QCOMPARE(ReadFile(SettingsPath()),
             QByteArray("[BEXALTOOL]\nCOM PORT=4\nBAUD RATE=2\nPOLLING DURATION=300\n"
                        "OPERATING MODE=1\nDOWNLOAD PACKET SIZE=100\n"));

    // Closed, the dialog opens again without a message, from the file just written.
    PropertiesDlg* again = OpenProperties();
    QVERIFY(again != nullptr);
    QCOMPARE(again->comPortList()->currentIndex(), 4);
    QCOMPARE(messages_.size(), std::size_t{2});
  }

  // Cancel and the close box change nothing and let the dialog be opened again.
  void cancelAndCloseBoxChangeNothing_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
  }

  void cancelAndCloseBoxChangeNothing() {
    QFETCH(bool, closeBox);
    OpenWindowWithPort();
    PropertiesDlg* dialog = OpenProperties();
    QVERIFY(dialog != nullptr);
    dialog->comPortList()->setCurrentIndex(7);
    dialog->pollingField()->setText(QStringLiteral("500"));
    if (closeBox) {
      dialog->close();
    } else {
      QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    }
    QCOMPARE(dlg_->propertiesDlg(), static_cast<PropertiesDlg*>(nullptr));
    QCOMPARE(engine_->state.com_port_index.load(), 0);
    QCOMPARE(engine_->state.polling_duration.load(), 200);
    QVERIFY(link_->IsOpen());
    QVERIFY(!QFile::exists(SettingsPath()));
    QVERIFY(OpenProperties() != nullptr);
    QVERIFY(messages_.empty());
  }

  // The Log page's button through a recording: disabled until a file is chosen, "Stop" while
  // recording, and a cancelled Browse empties the field and disables it again.
  void logTabThroughARecording() {
    OpenWindowWithPort();
    InfoLogTab* tab = dlg_->logTab();
    QVERIFY(tab != nullptr);
    QCOMPARE(dlg_->tabs()->tabText(dlg_->tabs()->indexOf(tab)), QStringLiteral("Log"));
    dlg_->tabs()->setCurrentWidget(tab);
    QPushButton* button = tab->recordButton();
    QCOMPARE(button->text(), QStringLiteral("Start"));
    QVERIFY(!button->isEnabled());
    QCOMPARE(tab->browseButton()->text(), QStringLiteral("Browse"));

    const QString path = dir_->filePath(QStringLiteral("comm.log"));
    std::optional<QString> answer = path;
    tab->SetFileChooser([&answer] { return answer; });
    QTest::mouseClick(tab->browseButton(), Qt::LeftButton);
    QCOMPARE(tab->pathField()->text(), path);
    QVERIFY(button->isEnabled());
    QCOMPARE(button->text(), QStringLiteral("Start"));

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Stop"));
    QVERIFY(IsLogFileOpen(*engine_));
    engine_->state.displayMode = kDisplayTextLimited;
    std::memcpy(engine_->tx.logText.data(), "RESET", 6);
    LogTransmittedFrame(*engine_);

    // Exit is refused while recording.
    dlg_->OnExit();
    QCOMPARE(messages_.size(), std::size_t{1});
    QCOMPARE(messages_[0].text, QStringLiteral("Close log file before exiting the program."));

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Start"));
    QVERIFY(!IsLogFileOpen(*engine_));
    QCOMPARE(ReadFile(path), QByteArray("RESET --->\n"));

    answer.reset();
    QTest::mouseClick(tab->browseButton(), Qt::LeftButton);
    QCOMPARE(tab->pathField()->text(), QString());
    QVERIFY(!button->isEnabled());
    QCOMPARE(messages_.size(), std::size_t{1});
  }

  // A file that cannot be opened: the box, and the button reads "Stop" all the same.
  void logTabOpenFailure() {
    OpenWindowWithPort();
    InfoLogTab* tab = dlg_->logTab();
    const QString path = dir_->filePath(QStringLiteral("missing/comm.log"));
    tab->SetFileChooser([path] { return std::optional<QString>(path); });
    QTest::mouseClick(tab->browseButton(), Qt::LeftButton);
    QTest::mouseClick(tab->recordButton(), Qt::LeftButton);
    QCOMPARE(tab->recordButton()->text(), QStringLiteral("Stop"));
    QCOMPARE(messages_.size(), std::size_t{1});
    QVERIFY(messages_[0].text.startsWith(QStringLiteral("File Open Error!\n")));
    QCOMPARE(messages_[0].icon, MessageIcon::Exclamation);
    QTest::mouseClick(tab->recordButton(), Qt::LeftButton);
    QCOMPARE(tab->recordButton()->text(), QStringLiteral("Start"));
    QCOMPARE(messages_.size(), std::size_t{2});
    QCOMPARE(messages_[1].text, QStringLiteral("A log file has still been closed.\n"));
  }
};

TARVIK_UI_TEST(PropertiesLogTabTest);

}  // namespace tarvik::qt

#include "properties_log_tab_test.moc"
