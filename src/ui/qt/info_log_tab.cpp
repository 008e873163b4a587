#include "ui/qt/info_log_tab.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/qt/dialog_units.h"
#include "ui/qt/latin1_text.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// The platform's file-save dialog: no owner window, no question before an existing file is
// chosen (a recording appends to it), and the file need not exist.
std::optional<QString> AskForLogFile() {
  const QString path = QFileDialog::getSaveFileName(
      nullptr, QString::fromLatin1(kLogFileDialogTitle), QString(),
      QString::fromLatin1(kLogFileFilter), nullptr, QFileDialog::DontConfirmOverwrite);
  if (path.isEmpty()) return std::nullopt;
  return path;
}

}  // namespace

InfoLogTab::InfoLogTab(Engine& engine, QWidget* parent)
    : QWidget(parent), engine_(engine), chooser_(AskForLogFile) {
  setFont(DialogFont());
  const DialogUnits du(font());

  auto* caption = new QLabel(QString::fromLatin1(kLogFileCaption), this);
  caption->setGeometry(du.Rect(5, 6, 33, 8));

  // The path is chosen with Browse, never typed, so the field only shows it.
  pathField_ = new QLineEdit(this);
  pathField_->setReadOnly(true);
  pathField_->setGeometry(du.Rect(44, 3, 205, 13));

  browseButton_ = new QPushButton(QString::fromLatin1(kBrowseButton), this);
  browseButton_->setGeometry(du.Rect(251, 3, 29, 14));
  browseButton_->setAutoDefault(false);
  connect(browseButton_, &QPushButton::clicked, this, &InfoLogTab::OnBrowse);

  auto* save = new QLabel(QString::fromLatin1(kSaveCaption), this);
  save->setGeometry(du.Rect(100, 25, 17, 8));

  recordButton_ = new QPushButton(Latin1(kLogStartText), this);
  recordButton_->setGeometry(du.Rect(123, 22, 25, 14));
  recordButton_->setAutoDefault(false);
  recordButton_->setEnabled(false);
  connect(recordButton_, &QPushButton::clicked, this, &InfoLogTab::OnStartStop);
}

void InfoLogTab::OnBrowse() {
  std::optional<std::string> chosen;
  if (const std::optional<QString> path = chooser_()) {
    chosen = QFile::encodeName(*path).toStdString();
  }
  BrowseLogFile(engine_, state_, chosen);
  pathField_->setText(QFile::decodeName(QByteArray::fromStdString(state_.pathField)));
  recordButton_->setEnabled(state_.buttonEnabled);
}

void InfoLogTab::OnStartStop() {
  // The text turns first: a box the press shows already sees the button in its new state.
  const bool starting = engine_.state.logRecordingStopped.load() != 0;
  recordButton_->setText(Latin1(starting ? kLogStopText : kLogStartText));
  PressLogButton(engine_, state_);
}

}  // namespace tarvik::qt
