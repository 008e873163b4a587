#include "ui/qt/info_basic_tab.h"

#include <QLabel>

#include "ui/qt/dialog_units.h"
#include "ui/qt/latin1_text.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// One caption and its value field, in dialog units of the page.
struct FieldRow {
  const char* caption;
  DialogBox captionBox;
  int fieldId;
  DialogBox fieldBox;
  bool bordered;
};

// The setting captions come from FieldCaption() so the console and the window never disagree.
std::string_view Caption(const FieldRow& row) {
  if (row.caption != nullptr) return row.caption;
  return FieldCaption(static_cast<SettingField>(row.fieldId));
}

constexpr FieldRow kRows[] = {
    {kValidatorStatusCaption, {5, 3, 65, 8}, 1027, {92, 1, 190, 13}, false},
    {kCommStatusCaption, {5, 17, 81, 8}, 1026, {92, 15, 190, 13}, false},
    {kVersionCaption, {5, 31, 29, 8}, 1028, {92, 29, 190, 13}, true},
    {kBootVersionCaption, {5, 44, 65, 8}, 1029, {92, 42, 190, 13}, true},
    {kMachineNumberCaption, {5, 57, 45, 8}, 1030, {92, 55, 190, 13}, true},
    {nullptr, {5, 71, 37, 8}, 1031, {47, 68, 25, 13}, false},
    {nullptr, {77, 71, 29, 8}, 1032, {110, 68, 32, 13}, false},
    {nullptr, {147, 71, 29, 8}, 1033, {180, 68, 30, 13}, false},
    {nullptr, {215, 71, 33, 8}, 1034, {252, 68, 30, 13}, false},
    {nullptr, {5, 85, 61, 8}, 1035, {69, 82, 30, 13}, false},
    {nullptr, {105, 85, 41, 8}, 1036, {170, 82, 30, 13}, false},
    {nullptr, {5, 97, 53, 8}, 1037, {69, 96, 30, 13}, false},
    {nullptr, {105, 98, 61, 8}, 1038, {170, 96, 30, 13}, false},
};

}  // namespace

InfoBasicTab::InfoBasicTab(QWidget* parent) : QWidget(parent) {
  setFont(DialogFont());
  const DialogUnits du(font());
  for (const FieldRow& row : kRows) {
    auto* caption = new QLabel(Latin1(Caption(row)), this);
    caption->setTextFormat(Qt::PlainText);
    caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    caption->setGeometry(du.CaptionRect(row.captionBox));

    auto* value = new QLabel(this);
    value->setObjectName(QStringLiteral("field%1").arg(row.fieldId));
    value->setTextFormat(Qt::PlainText);  // validator texts are never markup
    value->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    if (row.bordered) {
      value->setFrameStyle(QFrame::Box | QFrame::Plain);  // a thin dark line all round
      value->setIndent(2);
    }
    value->setGeometry(du.Rect(row.fieldBox));
    fields_[row.fieldId] = value;
  }
}

QLabel* InfoBasicTab::fieldById(int id) const {
  const auto it = fields_.find(id);
  return it == fields_.end() ? nullptr : it->second;
}

QLabel* InfoBasicTab::field(Field which) const { return fieldById(static_cast<int>(which)); }
QLabel* InfoBasicTab::field(SettingField which) const { return fieldById(static_cast<int>(which)); }

}  // namespace tarvik::qt
