#include "ui/qt/properties_dlg.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/qt/dialog_units.h"
#include "ui/qt/latin1_text.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// The closed lists are one line high; their drop-down part is the list's own business.
constexpr int kListHeight = 12;

QComboBox* MakeList(QWidget* parent, QRect place) {
  auto* list = new QComboBox(parent);
  list->setGeometry(place);
  list->setEditable(false);
  return list;
}

QLabel* MakeCaption(QWidget* parent, const char* text, QRect place) {
  auto* caption = new QLabel(QString::fromLatin1(text), parent);
  caption->setWordWrap(true);
  caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  caption->setGeometry(place);
  return caption;
}

// A list position that is not in the list shows no selection.
void Select(QComboBox* list, int position) {
  list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
}

std::string FieldText(const QLineEdit* field) { return field->text().toLatin1().toStdString(); }

}  // namespace

PropertiesDlg::PropertiesDlg(Engine& engine, std::string settingsPath, QWidget* parent)
    : QDialog(parent), engine_(engine), settingsPath_(std::move(settingsPath)) {
  setWindowTitle(QString::fromLatin1(kPropertiesTitle));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  const DialogUnits du(font());
  FixWindowSize(this, QSize(du.X(309), du.Y(95)));

  MakeCaption(this, kComPortCaption, du.Rect(7, 7, 41, 8));
  comPort_ = MakeList(this, du.Rect(165, 7, 66, kListHeight));
  for (int port = 1; port <= kComPortCount; ++port) {
    comPort_->addItem(QString::fromStdString(ComPortListText(engine_, port)));
  }
  // The device names are longer than the list is wide: the open list shows them whole.
  comPort_->view()->setMinimumWidth(comPort_->view()->sizeHintForColumn(0) + du.X(8));
  connect(comPort_, &QComboBox::currentTextChanged, comPort_, &QWidget::setToolTip);

  MakeCaption(this, kBaudRateCaption, du.Rect(7, 22, 45, 8));
  baudRate_ = MakeList(this, du.Rect(165, 21, 66, kListHeight));
  for (const std::string_view text : kBaudRateTexts) baudRate_->addItem(Latin1(text));

  MakeCaption(this, kPollingFieldCaption, du.Rect(7, 36, 139, 18));
  polling_ = new QLineEdit(this);
  polling_->setGeometry(du.Rect(165, 37, 65, 13));
  polling_->setMaxLength(kPollingFieldLimit);
  polling_->installEventFilter(this);

  MakeCaption(this, kOperatingModeCaption, du.Rect(7, 58, 65, 8));
  opeMode_ = MakeList(this, du.Rect(165, 57, 66, kListHeight));
  for (const std::string_view text : kOperatingModeTexts) opeMode_->addItem(Latin1(text));

  MakeCaption(this, kPacketFieldCaption, du.Rect(7, 75, 153, 8));
  packetSize_ = new QLineEdit(this);
  packetSize_->setGeometry(du.Rect(165, 72, 65, 13));
  packetSize_->setMaxLength(kPacketFieldLimit);
  packetSize_->installEventFilter(this);

  ok_ = new QPushButton(QString::fromLatin1(kOkButton), this);
  ok_->setGeometry(du.Rect(252, 7, 50, 14));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &PropertiesDlg::OnOk);

  cancel_ = new QPushButton(QString::fromLatin1(kCancelButton), this);
  cancel_->setGeometry(du.Rect(252, 24, 50, 14));
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void PropertiesDlg::Fill(const PropertiesForm& form) {
  Select(comPort_, form.comPort);
  Select(baudRate_, form.baudRate);
  polling_->setText(QString::fromLatin1(form.pollingDuration.c_str()));
  Select(opeMode_, form.operatingMode);
  packetSize_->setText(QString::fromLatin1(form.packetSize.c_str()));
}

PropertiesForm PropertiesDlg::Form() const {
  PropertiesForm form;
  form.comPort = comPort_->currentIndex();
  form.baudRate = baudRate_->currentIndex();
  form.pollingDuration = FieldText(polling_);
  form.operatingMode = opeMode_->currentIndex();
  form.packetSize = FieldText(packetSize_);
  return form;
}

void PropertiesDlg::OnOk() {
  // A refusal has shown its message; the dialog stays open for a correction.
  if (PressPropertiesOk(engine_, Form(), settingsPath_) == PropertiesOutcome::Accepted) accept();
}

bool PropertiesDlg::eventFilter(QObject* watched, QEvent* event) {
  // The number fields take typed digits only; a pasted text or the file's text still reaches
  // them, and OK checks it.
  if (event->type() == QEvent::KeyPress && (watched == polling_ || watched == packetSize_)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const QString text = key->text();
    if (text.size() == 1 && text[0].isPrint() &&
        !(text[0] >= QLatin1Char('0') && text[0] <= QLatin1Char('9')) &&
        !(key->modifiers() & Qt::ControlModifier)) {
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace tarvik::qt
