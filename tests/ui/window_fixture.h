// The main window on fakes, as the window tests build it: a fresh settings directory, a scripted
// serial link, a clock that never sleeps, the real Qt window services (their message boxes
// recorded and answered from a queue) and the engine. A test class derives from QObject first
// and from this second, calls SetUp() in init() and TearDown() in cleanup(), and opens the
// window with OpenWindow() when it wants it.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <memory>
#include <vector>

#include "engine/comm_log.h"
#include "engine/program_download.h"
#include "support/fake_window_services.h"
#include "ui/qt/host_simulator_dlg.h"
#include "ui/qt/qt_window_services.h"

namespace tarvik::qt {

class WindowFixture {
 protected:
  // A new directory, link, clock, services and engine; message boxes are recorded, OK boxes
  // answered OK and Yes/No boxes from `answers_` (No when none is left).
  void SetUp() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    messages_.clear();
    answers_.clear();
    terminated_ = false;
    link_ = std::make_unique<testing::FakeSerialLink>();
    clock_ = std::make_unique<testing::FakeClock>();
    services_ = std::make_unique<QtWindowServices>();
    engine_ = std::make_unique<Engine>(*services_, *link_, *clock_);
    services_->Attach(engine_.get());
    services_->SetMessageHook([this](const QtWindowServices::MessageRequest& request,
                                     std::function<void(MessageResult)> answer) {
      messages_.push_back(request);
      if (request.buttons == MessageButtons::Ok) return answer(MessageResult::Ok);
      if (answers_.empty()) return answer(MessageResult::No);
      answer(answers_.front());
      answers_.pop_front();
    });
  }

  // The window on the settings file of this test's directory (unless `options` names one), shown
  // and exposed; no worker unless `options` asks for one. The end of the program only sets
  // `terminated_`.
  void OpenWindow(HostSimulatorDlg::Options options) {
    if (options.settingsPath.empty()) options.settingsPath = SettingsPath().toStdString();
    dlg_ = std::make_unique<HostSimulatorDlg>(*engine_, *services_, options);
    dlg_->SetTerminateHook([this] { terminated_ = true; });
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
  }
  static HostSimulatorDlg::Options WithoutWorker() {
    HostSimulatorDlg::Options options;
    options.startWorker = false;
    return options;
  }

  // Closes what a test may have left open, then takes everything down in reverse order.
  void TearDown() {
    CloseLogFile(*engine_);
    CloseTargetFile(*engine_);
    dlg_.reset();
    engine_.reset();
    services_.reset();
    clock_.reset();
    link_.reset();
    dir_.reset();
  }

  QString SettingsPath() const { return dir_->filePath(QStringLiteral("BEXALTOOL.INI")); }
  std::vector<QString> MessageTexts() const {
    std::vector<QString> texts;
    for (const auto& message : messages_) texts.push_back(message.text);
    return texts;
  }
  std::int32_t Pending() const { return engine_->state.pendingCommand.load(); }

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<testing::FakeSerialLink> link_;
  std::unique_ptr<testing::FakeClock> clock_;
  std::unique_ptr<QtWindowServices> services_;
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<HostSimulatorDlg> dlg_;
  std::vector<QtWindowServices::MessageRequest> messages_;
  std::deque<MessageResult> answers_;
  bool terminated_ = false;
};

}  // namespace tarvik::qt
