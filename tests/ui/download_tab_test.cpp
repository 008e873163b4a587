// The Download page through its real widgets: Browse with a chosen file, the two buttons and
// their enabling, and the progress bar with its text, fed as the engine feeds it.
#include "engine/download_tab.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <deque>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/program_download.h"
#include "support/fake_window_services.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/info_download_tab.h"
#include "ui/qt/qt_window_services.h"
#include "ui_test_registry.h"
#include "window_fixture.h"

namespace tarvik::qt {

class DownloadTabTest : public QObject, protected WindowFixture {
  Q_OBJECT

 private:
  using Control = InfoDownloadTab::Control;

  QString chosen_;  // what the file dialog returns

  InfoDownloadTab* Tab() const { return dlg_->downloadTab(); }

  QString MakeFile(const QString& name, const std::vector<unsigned char>& bytes) {
    const QString path = dir_->filePath(name);
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static DownloadProgress Progress(DownloadProgress::Stage stage, std::uint32_t sent,
                                   std::uint32_t total, int waitMs = 0) {
    DownloadProgress progress;
    progress.kind = waitMs > 0 ? DownloadProgress::Kind::Global : DownloadProgress::Kind::Normal;
    progress.stage = stage;
    progress.bytesSent = sent;
    progress.totalBytes = total;
    progress.waitMs = waitMs;
    return progress;
  }

 private slots:
  void init() {
    SetUp();
    OpenWindow(WithoutWorker());
    Tab()->SetFileChooser([this] { return chosen_; });
  }

  void cleanup() { TearDown(); }

  void browseFillsThePageAndEnablesTheButtons() {
    QVERIFY(!Tab()->button(Control::NormalDownload)->isEnabled());
    QVERIFY(!Tab()->button(Control::GlobalDownload)->isEnabled());

    chosen_ = MakeFile(QStringLiteral("good.bin"),
                       {'A', 'B', 'C', 0, 'x', 'y', 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D});
    Tab()->button(Control::Browse)->click();
    QCOMPARE(Tab()->field(Control::TargetFile)->text(), chosen_);
    QCOMPARE(Tab()->field(Control::Header)->text(), QStringLiteral(" ABC:01020304:0A0B0C0D"));
    QCOMPARE(Tab()->field(Control::Crc)->text(),
             QStringLiteral("%1")
                 .arg(engine_->download.targetFileCrc.load(), 4, 16, QLatin1Char('0'))
                 .toUpper());
    QVERIFY(Tab()->button(Control::NormalDownload)->isEnabled());
    QVERIFY(Tab()->button(Control::GlobalDownload)->isEnabled());

    // A file one byte short is refused and the page keeps the earlier choice.
    const QString good = chosen_;
    chosen_ = MakeFile(QStringLiteral("short.bin"), std::vector<unsigned char>(13, 'A'));
    Tab()->button(Control::Browse)->click();
    QCOMPARE(MessageTexts(), std::vector<QString>{QStringLiteral("File Size Error!\n")});
    QCOMPARE(Tab()->field(Control::TargetFile)->text(), good);

    // Cancel changes nothing and says nothing.
    chosen_.clear();
    Tab()->button(Control::Browse)->click();
    QCOMPARE(messages_.size(), std::size_t{1});
  }

  void normalDownloadPostsItsCharacterAndDisablesGlobal() {
    chosen_ = MakeFile(QStringLiteral("t.bin"), std::vector<unsigned char>(100, 7));
    Tab()->button(Control::Browse)->click();
    engine_->state.portOpen = 1;
    answers_.push_back(MessageResult::Yes);
    Tab()->button(Control::NormalDownload)->click();
    QCOMPARE(engine_->state.pendingCommand.load(), std::int32_t{'F'});
    QVERIFY(!Tab()->button(Control::GlobalDownload)->isEnabled());
    QVERIFY(Tab()->button(Control::NormalDownload)->isEnabled());
  }

  // The worker reports from its own thread; the page follows on the window thread.
  void progressShowsPerCentBytesAndTheCountdown() {
    std::thread worker([this] {
      services_->ShowDownloadProgress(Progress(DownloadProgress::Stage::Sending, 500, 1000));
    });
    worker.join();
    QTRY_COMPARE(Tab()->progressBar()->value(), 50);
    QVERIFY(Tab()->progressText()->text().contains(QStringLiteral("50% (500 of 1000 bytes)")));

    services_->ShowDownloadProgress(Progress(DownloadProgress::Stage::Waiting, 246, 1000, 60000));
    QVERIFY2(Tab()->progressText()->text().contains(
                 QStringLiteral("waiting 60 s for the validators, 60 s left")),
             qPrintable(Tab()->progressText()->text()));

    services_->ShowDownloadProgress(Progress(DownloadProgress::Stage::Finished, 1000, 1000));
    QCOMPARE(Tab()->progressBar()->value(), 100);
    QVERIFY(Tab()->progressText()->text().endsWith(QStringLiteral("done")));
  }
};

TARVIK_UI_TEST(DownloadTabTest);

}  // namespace tarvik::qt

#include "download_tab_test.moc"
