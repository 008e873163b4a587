#include "ui/qt/host_simulator_dlg.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

#include "engine/comm_log.h"
#include "engine/main_window_operations.h"
#include "engine/operating_modes.h"
#include "engine/port_control.h"
#include "engine/properties.h"
#include "engine/settings.h"
#include "engine/value_entry.h"
#include "engine/worker_loop.h"
#include "ui/qt/about_dlg.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/group_frame.h"
#include "ui/qt/info_basic_tab.h"
#include "ui/qt/info_download_tab.h"
#include "ui/qt/info_log_tab.h"
#include "ui/qt/log_box.h"
#include "ui/qt/properties_dlg.h"
#include "ui/qt/qt_window_services.h"
#include "ui/qt/statistics_dlg.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// What a button's click does besides (or instead of) posting its character.
enum class Action { Post, Poll, Change, StackMode, AckMode, PollingMode, DisplayMode, Exit };

struct CommandButton {
  int id;
  const char* caption;
  char posts;  // 0 for the buttons that post nothing
  Action action;
};

// A column of command buttons inside its group; buttons 14 units high, 15 apart.
struct ButtonGroup {
  int id;
  const char* title;
  int x, y, width, height;
  int buttonX, buttonWidth, firstButtonY;
  bool enabled;
  std::span<const CommandButton> buttons;
};

constexpr int kButtonHeight = 14;
constexpr int kButtonPitch = 15;
constexpr int kValueBoxX = 281;
constexpr int kValueBoxWidth = 22;

constexpr CommandButton kOperationButtons[] = {
    {1083, "Reset ( r )", 'r', Action::Post},
    {1084, "Stack-1 ( A )", 'A', Action::Post},
    {1085, "Stack-2 ( a )", 'a', Action::Post},
    {1086, "Return ( J )", 'J', Action::Post},
    {1087, "Hold ( H )", 'H', Action::Post},
    {1089, "Wait ( W )", 'W', Action::Post},
    {1090, "ACK ( K )", 'K', Action::Post},
    {1091, "Poll ( S )", 'S', Action::Poll},
    {1092, "Auto Reset ( R )", 'R', Action::Post},
};

constexpr CommandButton kViewButtons1[] = {
    {1093, "Disable ( D )", 'D', Action::Post},
    {1094, "Security ( E )", 'E', Action::Post},
    {1095, "Comm. Mode ( M )", 'M', Action::Post},
    {1096, "Inhibit ( I )", 'I', Action::Post},
    {1097, "Direction ( T )", 'T', Action::Post},
    {1098, "Optional Funcs. ( U )", 'U', Action::Post},
    {1099, "Machine No. ( N )", 'N', Action::Post},
    {1100, "Barcode Func. ( B )", 'B', Action::Post},
    {1101, "Barcode Inhibit ( C )", 'C', Action::Post},
};

// The character, the value box and its limit of each set button come from kValueBoxes.
constexpr CommandButton kChangeButtons[] = {
    {1102, "Disable (d)", 'd', Action::Change},
    {1103, "Security ( e )", 'e', Action::Change},
    {1104, "Comm. Mode ( m )", 'm', Action::Change},
    {1105, "Inhibit ( i )", 'i', Action::Change},
    {1106, "Direction ( t )", 't', Action::Change},
    {1107, "Optinal Funcs. ( u )", 'u', Action::Change},
    {1108, "Machine No. ( n )", 'n', Action::Change},
    {1041, "Barcode Func. ( b )", 'b', Action::Change},
    {1042, "Barcode Inhibit ( c )", 'c', Action::Change},
};

constexpr CommandButton kViewButtons2[] = {
    {1109, "Boot Version ( v )", 'v', Action::Post},
    {1110, "Version ( V )", 'V', Action::Post},
    {1111, "Currency Assign ( Q )", 'Q', Action::Post},
    {1112, "Bookmark ( ! )", '!', Action::Post},
    {1113, "Secret Number ( 3 )", '3', Action::Post},
    {1114, "Program Signature ( P )", 'P', Action::Post},
};

// Created disabled and never enabled; their clicks exist all the same.
constexpr CommandButton kHopperButtons[] = {
    {1115, "Hopper Status Req. ( 5 )", '5', Action::Post},
    {1116, "Hopper Dispense ( 6 )", '6', Action::Post},
    {1117, "Hopper Currency ( 7 )", '7', Action::Post},
};

constexpr CommandButton kOtherButtons[] = {
    {1043, "Accept Rate Req. ( G )", 'G', Action::Post},
    {1044, "Init. Accept Rate ( g )", 'g', Action::Post},
    {1118, "Init Log ( 1 )", '1', Action::Post},
    {1119, "Read Log ( 2 )", '2', Action::Post},
};

const ButtonGroup kGroups[] = {
    {1132, "Operation Commands", 7, 194, 80, 149, 14, 69, 203, true, kOperationButtons},
    {1133, "View Commands (1)", 89, 194, 96, 149, 92, 89, 203, true, kViewButtons1},
    {1134, "Change Commands", 188, 194, 118, 149, 191, 89, 203, true, kChangeButtons},
    {1135, "View Commands (2)", 310, 194, 103, 102, 313, 97, 203, true, kViewButtons2},
    {1136, "Hopper Commands", 417, 194, 110, 56, 420, 101, 203, false, kHopperButtons},
    {1137, "Others", 417, 254, 110, 72, 420, 101, 263, false, kOtherButtons},
};

// The buttons outside the command groups, with their places.
struct PlacedButton {
  CommandButton button;
  int x, y, width;
};

const PlacedButton kPlacedButtons[] = {
    {{1033, kStackModeButton, 0, Action::StackMode}, 242, 144, 69},
    {{1034, kAckModeButton, 0, Action::AckMode}, 366, 144, 61},
    {{1058, kPollingModeButton, 0, Action::PollingMode}, 242, 159, 77},
    {{1059, kDisplayModeButton, 0, Action::DisplayMode}, 366, 159, 79},
    {{1032, kExitButton, 0, Action::Exit}, 481, 329, 45},
};

// The labels of the "User Settings" group; those the engine writes carry their Label.
struct LabelRow {
  int id;  // 0 for a caption nothing refers to
  const char* text;
  int x, y, width, height;
  bool centred;
  std::optional<Label> engineLabel;
};

const LabelRow kLabels[] = {
    {1047, kStackModeInitial, 314, 145, 40, 12, true, Label::StackMode},
    {1048, kAckModeInitial, 430, 145, 32, 12, true, Label::AckMode},
    {1061, kPollingModeInitial, 323, 160, 40, 12, true, Label::PollingMode},
    {1088, kDisplayModeInitial, 449, 160, 72, 12, true, Label::DisplayMode},
    {0, kPollingDurationCaption, 242, 177, 93, 8, false, std::nullopt},
    {1071, "", 339, 175, 36, 13, false, Label::PollingDuration},
    {1138, kDeviceAddressCaption, 381, 178, 57, 8, false, std::nullopt},
    {1072, "", 442, 175, 36, 13, false, Label::DeviceAddress},
    {1140, kPortCaption, 484, 177, 17, 8, false, std::nullopt},
    {1073, "", 505, 175, 19, 13, false, Label::Port},
};

// The keyboard shortcuts: a character and the button whose click it sends. Case-sensitive.
struct Shortcut {
  char character;
  int buttonId;
};

constexpr Shortcut kShortcuts[] = {
    {'!', 1112}, {'3', 1113}, {'A', 1084}, {'B', 1100}, {'C', 1101}, {'D', 1093}, {'E', 1094},
    {'H', 1087}, {'I', 1096}, {'J', 1086}, {'K', 1090}, {'L', 1033}, {'M', 1095}, {'N', 1099},
    {'O', 1058}, {'P', 1114}, {'Q', 1111}, {'R', 1092}, {'S', 1091}, {'T', 1097}, {'U', 1098},
    {'V', 1110}, {'W', 1089}, {'X', 1032}, {'a', 1085}, {'b', 1041}, {'c', 1042}, {'d', 1102},
    {'e', 1103}, {'i', 1105}, {'k', 1034}, {'m', 1104}, {'n', 1108}, {'r', 1083}, {'t', 1106},
    {'u', 1107}, {'v', 1109}, {'x', 1032},
};

// Init Log and Read Log with their keys, reachable only with the acceptance-log switch.
constexpr Shortcut kAcceptanceLogShortcuts[] = {{'1', 1118}, {'2', 1119}};

// Characters swallowed without action, so they never reach a button's own key handling.
constexpr std::string_view kSwallowed = "hjlopqsw";

constexpr int kPollingModeButtonId = 1058;
constexpr int kDisplayModeButtonId = 1059;
constexpr int kExitButtonId = 1032;

const CommandButton* FindButtonRow(int id) {
  for (const ButtonGroup& group : kGroups) {
    for (const CommandButton& row : group.buttons) {
      if (row.id == id) return &row;
    }
  }
  for (const PlacedButton& placed : kPlacedButtons) {
    if (placed.button.id == id) return &placed.button;
  }
  return nullptr;
}

const ValueBox* ValueBoxOfButton(int buttonId) {
  for (const ValueBox& box : kValueBoxes) {
    if (box.buttonId == buttonId) return &box;
  }
  return nullptr;
}

QString Text(const char* text) { return QString::fromUtf8(text); }

}  // namespace

HostSimulatorDlg::HostSimulatorDlg(Engine& engine, QtWindowServices& services, Options options,
                                   QWidget* parent)
    : QDialog(parent), engine_(engine), services_(services) {
  terminate_ = [] {
    std::fflush(nullptr);
    std::_Exit(0);
  };
  setWindowTitle(Text(kProgramName));
  // Unlike the dialog it follows, the window may be enlarged: the log box takes the room.
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());
  setFont(DialogFont());

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetNoConstraint);  // the client's minimum holds it
  QMenuBar* menuBar = BuildMenus(layout);
  client_ = new QWidget(this);
  layout->addWidget(client_);
  BuildClient(client_);
  if (options.acceptanceLog) {
    acceptanceLog_ = true;
    for (const Shortcut& shortcut : kAcceptanceLogShortcuts) {
      button(shortcut.buttonId)->setEnabled(true);
    }
  }
  const QSize layoutSize(client_->minimumWidth(),
                         menuBar->sizeHint().height() + client_->minimumHeight());
  resize(layoutSize);
  setMinimumSize(layoutSize);

  services_.BindLogBox(logBox_);
  services_.BindInfoTab(infoTab_);
  services_.BindDownloadTab(downloadTab_);
  services_.BindDownloadButton(DownloadButton::Normal,
                               downloadTab_->button(InfoDownloadTab::Control::NormalDownload));
  services_.BindDownloadButton(DownloadButton::Global,
                               downloadTab_->button(InfoDownloadTab::Control::GlobalDownload));
  for (const LabelRow& row : kLabels) {
    if (row.engineLabel) services_.BindLabel(*row.engineLabel, labels_.at(row.id));
  }
  services_.SetMessageParent(this);

  settingsPath_ = options.settingsPath.empty() ? DefaultSettingsPath() : options.settingsPath;
  InitialiseEngine(engine_, settingsPath_);
  qApp->installEventFilter(this);

  if (options.startWorker) {
    worker_ = std::make_unique<Worker>(engine_);
    if (options.lineDescriptor) worker_->SetLineDescriptor(options.lineDescriptor);
    worker_->Start();
  }
}

HostSimulatorDlg::~HostSimulatorDlg() {
  qApp->removeEventFilter(this);
  StopWorker();
}

QMenuBar* HostSimulatorDlg::BuildMenus(QVBoxLayout* layout) {
  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu(Text(kFileMenu));
  connect(file->addAction(Text(kExitItem)), &QAction::triggered, this,
          [this] { ClickButton(kExitButtonId); });
  QMenu* connection = bar->addMenu(Text(kConnectionMenu));
  propertiesAction_ = connection->addAction(Text(kPropertiesItem));
  connect(propertiesAction_, &QAction::triggered, this, &HostSimulatorDlg::OnProperties);
  // Off by default, so the log box keeps its usual form; on, every line starts with the time.
  connection->addSeparator();
  showTimestampsAction_ = connection->addAction(Text(kShowTimestampsItem));
  showTimestampsAction_->setCheckable(true);
  showTimestampsAction_->setChecked(engine_.logTimestamps.load());
  connect(showTimestampsAction_, &QAction::toggled, this,
          [this](bool on) { engine_.logTimestamps.store(on); });
  QMenu* help = bar->addMenu(Text(kHelpMenu));
  connect(help->addAction(Text(kVersionItem)), &QAction::triggered, this,
          &HostSimulatorDlg::OnVersion);
  statisticsAction_ = help->addAction(Text(kStatisticsItem));
  connect(statisticsAction_, &QAction::triggered, this, &HostSimulatorDlg::OnStatistics);
  // There is no system menu to extend here, so the About entry joins the Help menu.
  help->addSeparator();
  connect(help->addAction(Text(kAboutMenuText)), &QAction::triggered, this,
          &HostSimulatorDlg::OnAbout);
  layout->setMenuBar(bar);
  return bar;
}

void HostSimulatorDlg::BuildClient(QWidget* client) {
  const DialogUnits du(font());
  client->setMinimumSize(du.X(531), du.Y(346));
  client->resize(client->minimumSize());

  logBox_ = new LogBox(client);
  logBox_->setGeometry(du.Rect(7, 3, 228, 188));

  tabs_ = new QTabWidget(client);
  tabs_->setGeometry(du.Rect(237, 3, 290, 130));
  infoTab_ = new InfoBasicTab;
  tabs_->addTab(infoTab_, Text(kInfoTabTitle));
  downloadTab_ = new InfoDownloadTab(engine_);
  tabs_->addTab(downloadTab_, Text(kDownloadTabTitle));
  logTab_ = new InfoLogTab(engine_);
  tabs_->addTab(logTab_, Text(kLogTabTitle));

  auto* userSettings = new GroupFrame(Text(kUserSettingsGroup), client);
  userSettings->setGeometry(du.Rect(237, 135, 290, 56));

  for (const ButtonGroup& group : kGroups) {
    auto* box = new GroupFrame(Text(group.title), client);
    box->setGeometry(du.Rect(group.x, group.y, group.width, group.height));
    box->setEnabled(group.enabled);
  }

  auto makeButton = [this, client](const CommandButton& row, QRect place, bool enabled) {
    auto* button = new QPushButton(Text(row.caption), client);
    button->setGeometry(place);
    button->setAutoDefault(false);  // Enter is the window's OK command, not a button's
    button->setEnabled(enabled);
    const int id = row.id;
    connect(button, &QPushButton::clicked, this, [this, id] { OnButton(id); });
    buttons_[id] = button;
  };

  for (const ButtonGroup& group : kGroups) {
    int y = group.firstButtonY;
    for (const CommandButton& row : group.buttons) {
      makeButton(row, du.Rect(group.buttonX, y, group.buttonWidth, kButtonHeight), group.enabled);
      if (const ValueBox* entry = ValueBoxOfButton(row.id)) {
        auto* edit = new QLineEdit(client);
        edit->setGeometry(du.Rect(kValueBoxX, y, kValueBoxWidth, kButtonHeight));
        edit->setMaxLength(entry->maxLength);
        edit->setTextMargins(0, 0, 0, 0);
        valueBoxes_[entry->boxId] = edit;
      }
      y += kButtonPitch;
    }
  }
  for (const PlacedButton& placed : kPlacedButtons) {
    makeButton(placed.button, du.Rect(placed.x, placed.y, placed.width, kButtonHeight), true);
  }

  for (const LabelRow& row : kLabels) {
    auto* label = new QLabel(Text(row.text), client);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment((row.centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
    label->setGeometry(du.Rect(row.x, row.y, row.width, row.height));
    if (row.id != 0) labels_[row.id] = label;
  }

  // Every control's place at the layout's size; an enlarged window moves them from there.
  for (QObject* child : client->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget != nullptr) placesAtLayoutSize_.emplace_back(widget, widget->geometry());
  }
}

void HostSimulatorDlg::FitClient(QSize size) {
  // The extra room goes to the log box. What stands beside it moves right, what stands below it
  // moves down; every control keeps its place relative to its neighbours.
  const QSize layoutSize = client_->minimumSize();
  const int dx = std::max(0, size.width() - layoutSize.width());
  const int dy = std::max(0, size.height() - layoutSize.height());
  QRect logBoxPlace;
  for (const auto& [widget, place] : placesAtLayoutSize_) {
    if (widget == logBox_) logBoxPlace = place;
  }
  for (const auto& [widget, place] : placesAtLayoutSize_) {
    if (widget.isNull()) continue;
    if (widget == logBox_) {
      widget->setGeometry(place.adjusted(0, 0, dx, dy));
    } else if (place.top() > logBoxPlace.bottom()) {
      widget->setGeometry(place.translated(0, dy));
    } else if (place.left() > logBoxPlace.right()) {
      widget->setGeometry(place.translated(dx, 0));
    }
  }
}

QPushButton* HostSimulatorDlg::button(int id) const {
  const auto it = buttons_.find(id);
  return it == buttons_.end() ? nullptr : it->second;
}

QLineEdit* HostSimulatorDlg::valueBox(int id) const {
  const auto it = valueBoxes_.find(id);
  return it == valueBoxes_.end() ? nullptr : it->second;
}

QLabel* HostSimulatorDlg::label(int id) const {
  const auto it = labels_.find(id);
  return it == labels_.end() ? nullptr : it->second;
}

// --- Click operations ------------------------------------------------------------------------

void HostSimulatorDlg::ClickButton(int id) {
  // A disabled button ignores its click, the keyboard's included.
  if (QPushButton* target = button(id)) target->click();
}

void HostSimulatorDlg::OnButton(int id) {
  const CommandButton* row = FindButtonRow(id);
  if (row == nullptr) return;
  switch (row->action) {
    case Action::Post:
      PostPendingCommand(engine_, row->posts);
      break;
    case Action::Poll:
      PressPollButton(engine_);
      break;
    case Action::Change:
      OnChangeButton(id);
      break;
    case Action::StackMode:
      ChangeStackMode(engine_);
      break;
    case Action::AckMode:
      ToggleAckMode(engine_);
      break;
    case Action::PollingMode:
      TogglePollingMode(engine_);
      break;
    case Action::DisplayMode:
      ToggleDisplayMode(engine_);
      break;
    case Action::Exit:
      OnExit();
      break;
  }
}

void HostSimulatorDlg::OnChangeButton(int buttonId) {
  const ValueBox* entry = ValueBoxOfButton(buttonId);
  QLineEdit* edit = entry != nullptr ? valueBox(entry->boxId) : nullptr;
  if (edit == nullptr) return;
  // The validator takes one byte a character: a character with no one-byte form is refused, not
  // silently sent as '?'.
  const QString typed = edit->text();
  if (std::any_of(typed.begin(), typed.end(), [](QChar c) { return c.unicode() > 0xFF; })) {
    ShowErrorMessage(engine_, kEntryBadCharacter);
    return;
  }
  const QByteArray text = typed.toLatin1();
  PressChangeButton(engine_, *entry,
                    std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
}

void HostSimulatorDlg::OnOk() {
  if (lastValueBox_ == nullptr) return;
  for (const ValueBox& entry : kValueBoxes) {
    if (valueBox(entry.boxId) == lastValueBox_) {
      ClickButton(entry.buttonId);
      return;
    }
  }
}

void HostSimulatorDlg::OnExit() {
  if (!ConfirmExit(engine_)) return;
  StopWorker();
  done(QDialog::Rejected);
  terminate_();
}

void HostSimulatorDlg::OnVersion() {
  services_.ShowMessage(kVersionText, MessageIcon::Information, MessageButtons::Ok);
}

void HostSimulatorDlg::OnStatistics() {
  auto* statistics = new StatisticsDlg(engine_, this);
  statistics->setAttribute(Qt::WA_DeleteOnClose);
  // Sized before it has a window of its own, so the size is settled once.
  statistics->adjustSize();
  statistics->show();
}

void HostSimulatorDlg::OnAbout() {
  AboutDlg about(this);
  about.exec();
}

PropertiesDlg* HostSimulatorDlg::propertiesDlg() const { return propertiesDlg_.data(); }

void HostSimulatorDlg::OnProperties() {
  if (propertiesDlg_ != nullptr) {
    services_.ShowMessage(kPropertiesAlreadyOpen, MessageIcon::None, MessageButtons::Ok);
    return;
  }
  auto* dialog = new PropertiesDlg(engine_, settingsPath_, this);
  // OK that succeeded, Cancel and the close box all finish the dialog; it is open no more.
  connect(dialog, &QDialog::finished, this, [this, dialog] {
    if (propertiesDlg_ == dialog) propertiesDlg_.clear();
    dialog->deleteLater();
  });
  // The dialog shows the file, not the settings in memory.
  dialog->Fill(ReadPropertiesForm(settingsPath_));
  propertiesDlg_ = dialog;
  dialog->show();
}

void HostSimulatorDlg::StopWorker() {
  if (!worker_) return;
  // A worker waiting for a message box is released first, so the join cannot wait for a window
  // that is busy joining.
  services_.Shutdown();
  worker_->Stop();
  worker_.reset();
}

// --- Keyboard ----------------------------------------------------------------------------------

bool HostSimulatorDlg::IsValueBox(const QObject* object) const {
  for (const auto& [id, edit] : valueBoxes_) {
    if (edit == object) return true;
  }
  return false;
}

bool HostSimulatorDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) {
    FitClient(static_cast<QResizeEvent*>(event)->size());
    return false;
  }
  if (event->type() == QEvent::FocusIn) {
    if (IsValueBox(watched)) lastValueBox_ = static_cast<QLineEdit*>(watched);
    return false;
  }
  if (event->type() != QEvent::KeyPress) return false;
  // Only keys aimed at this window; message boxes and menus keep their own keys.
  auto* target = qobject_cast<QWidget*>(watched);
  if (target == nullptr || target->window() != this) return false;
  return HandleKey(*static_cast<QKeyEvent*>(event), target);
}

bool HostSimulatorDlg::HandleKey(const QKeyEvent& key, QWidget* target) {
  if (key.modifiers() & (Qt::AltModifier | Qt::MetaModifier)) return false;

  // The operator reading the log box scrolls it with the arrow and page keys; the Up arrow is
  // the display mode's key everywhere else.
  if (target == logBox_ && LogBox::IsViewKey(key.key())) return false;

  // Keys that act or are swallowed whatever the focus, value boxes included.
  switch (key.key()) {
    case Qt::Key_Space:
      ClickButton(kPollingModeButtonId);
      return true;
    case Qt::Key_Up:
      ClickButton(kDisplayModeButtonId);
      return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Down:
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // A focused button is pressed, as the keyboard user expects; only from a value box, or
      // with no button focused, is Enter the window's OK (the set button of the last box).
      if (auto* focused = qobject_cast<QAbstractButton*>(target)) {
        if (focused->isEnabled()) focused->click();
        return true;
      }
      OnOk();
      return true;
    case Qt::Key_Escape:
      return true;
    default:
      break;
  }

  // Characters are shortcuts only outside the value boxes.
  if (key.modifiers() & Qt::ControlModifier) return false;
  const QString text = key.text();
  if (text.size() != 1 || text[0].unicode() > 0x7F || IsValueBox(target)) return false;
  const char character = static_cast<char>(text[0].unicode());
  for (const Shortcut& shortcut : kShortcuts) {
    if (shortcut.character == character) {
      ClickButton(shortcut.buttonId);
      return true;
    }
  }
  for (const Shortcut& shortcut : kAcceptanceLogShortcuts) {
    if (acceptanceLog_ && shortcut.character == character) {
      ClickButton(shortcut.buttonId);
      return true;
    }
  }
  return kSwallowed.find(character) != std::string_view::npos;
}

void HostSimulatorDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  ClickButton(kExitButtonId);
}

void HostSimulatorDlg::reject() {
  // Esc and every other cancel do nothing; the window ends only through Exit.
}

}  // namespace tarvik::qt
