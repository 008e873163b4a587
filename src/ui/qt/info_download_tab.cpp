#include "ui/qt/info_download_tab.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "engine/download_progress.h"
#include "engine/download_tab.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/latin1_text.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

struct CaptionRow {
  const char* text;
  DialogBox box;
};

// The page layout in dialog units (a 283 x 113 page).
constexpr CaptionRow kCaptions[] = {
    {kTargetFileCaption, {3, 6, 45, 8}},
    {kCrcCaption, {4, 21, 13, 8}},
    {kHeaderCaption, {69, 21, 25, 8}},
};
constexpr DialogBox kPathBox{52, 3, 196, 13};
constexpr DialogBox kCrcBox{25, 19, 37, 13};
constexpr DialogBox kHeaderBox{99, 19, 131, 13};
constexpr DialogBox kBrowseBox{250, 3, 29, 14};
constexpr DialogBox kNormalBox{80, 37, 65, 14};
constexpr DialogBox kGlobalBox{158, 37, 65, 14};
// Below the buttons, where the page had room: the progress of a download.
constexpr DialogBox kProgressBox{4, 60, 275, 12};
constexpr DialogBox kProgressTextBox{4, 76, 275, 10};

constexpr int kCountdownTickMs = 1000;

}  // namespace

InfoDownloadTab::InfoDownloadTab(Engine& engine, QWidget* parent)
    : QWidget(parent), engine_(engine) {
  setFont(DialogFont());
  const DialogUnits du(font());

  for (const CaptionRow& row : kCaptions) {
    auto* caption = new QLabel(QString::fromLatin1(row.text), this);
    caption->setTextFormat(Qt::PlainText);
    caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    caption->setGeometry(du.CaptionRect(row.box));
  }
  auto makeField = [&](const DialogBox& box, Control id) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("field%1").arg(static_cast<int>(id)));
    field->setReadOnly(true);
    field->setGeometry(du.Rect(box));
    field->setTextMargins(0, 0, 0, 0);
    return field;
  };
  path_ = makeField(kPathBox, Control::TargetFile);
  crc_ = makeField(kCrcBox, Control::Crc);
  header_ = makeField(kHeaderBox, Control::Header);

  auto makeButton = [&](const char* caption, const DialogBox& box, bool enabled) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setGeometry(du.Rect(box));
    button->setAutoDefault(false);
    button->setEnabled(enabled);
    return button;
  };
  browse_ = makeButton(kBrowseButton, kBrowseBox, true);
  normal_ = makeButton(kNormalDownloadButton, kNormalBox, false);
  global_ = makeButton(kGlobalDownloadButton, kGlobalBox, false);
  connect(browse_, &QPushButton::clicked, this, &InfoDownloadTab::OnBrowse);
  connect(normal_, &QPushButton::clicked, this, [this] { PressNormalDownload(engine_); });
  connect(global_, &QPushButton::clicked, this, [this] { PressGlobalDownload(engine_); });

  progress_ = new QProgressBar(this);
  progress_->setGeometry(du.Rect(kProgressBox));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progressText_ = new QLabel(QString::fromLatin1(kNoDownloadText), this);
  progressText_->setTextFormat(Qt::PlainText);
  progressText_->setGeometry(du.Rect(kProgressTextBox));

  countdown_ = new QTimer(this);
  countdown_->setInterval(kCountdownTickMs);
  connect(countdown_, &QTimer::timeout, this, &InfoDownloadTab::UpdateCountdown);

  chooseFile_ = [] {
    // The read-only check box of the platform dialog does not exist here; the file must exist.
    return QFileDialog::getOpenFileName(nullptr, QString::fromLatin1(kTargetFileDialogTitle),
                                        QString(), QString::fromLatin1(kTargetFileFilter));
  };
}

QLineEdit* InfoDownloadTab::field(Control which) const {
  switch (which) {
    case Control::TargetFile:
      return path_;
    case Control::Crc:
      return crc_;
    case Control::Header:
      return header_;
    default:
      return nullptr;
  }
}

QPushButton* InfoDownloadTab::button(Control which) const {
  switch (which) {
    case Control::Browse:
      return browse_;
    case Control::NormalDownload:
      return normal_;
    case Control::GlobalDownload:
      return global_;
    default:
      return nullptr;
  }
}

void InfoDownloadTab::OnBrowse() {
  const QString chosen = chooseFile_ ? chooseFile_() : QString();
  const QByteArray path = chosen.toLocal8Bit();
  const auto fields = BrowseTargetFile(
      engine_, std::string(path.constData(), static_cast<std::size_t>(path.size())));
  if (!fields) return;
  path_->setText(chosen);
  crc_->setText(Latin1(fields->crc));
  header_->setText(Latin1(fields->header));
}

void InfoDownloadTab::ShowProgress(const DownloadProgress& progress) {
  // The rate is measured from the download's first report on: the first after one that ended.
  const DownloadProgress::Stage last = lastProgress_.stage;
  if (last == DownloadProgress::Stage::Finished || last == DownloadProgress::Stage::Stopped) {
    sendingSince_.start();
  }
  lastProgress_ = progress;
  progress_->setValue(ProgressPercent(progress.bytesSent, progress.totalBytes));
  if (progress.stage == DownloadProgress::Stage::Waiting) {
    waitingSince_.start();
    countdown_->start();
  } else {
    countdown_->stop();
  }
  UpdateCountdown();
}

void InfoDownloadTab::UpdateCountdown() {
  const bool waiting = lastProgress_.stage == DownloadProgress::Stage::Waiting;
  const qint64 elapsed = waiting ? waitingSince_.elapsed() : sendingSince_.elapsed();
  const std::string kind =
      lastProgress_.kind == DownloadProgress::Kind::Global ? "Global download: " : "Download: ";
  progressText_->setText(Latin1(kind + DescribeDownloadProgress(lastProgress_, elapsed)));
  if (waiting && elapsed >= lastProgress_.waitMs) countdown_->stop();
}

}  // namespace tarvik::qt
