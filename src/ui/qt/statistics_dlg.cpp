#include "ui/qt/statistics_dlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/run_summary.h"
#include "ui/qt/ui_texts.h"

namespace tarvik::qt {

namespace {

// Wide enough for the table's widest row without wrapping.
constexpr int kTableColumns = 92;
constexpr int kTableRows = 20;

}  // namespace

StatisticsDlg::StatisticsDlg(Engine& engine, QWidget* parent) : QDialog(parent), engine_(engine) {
  setWindowTitle(QString::fromUtf8(kStatisticsTitle));
  auto* layout = new QVBoxLayout(this);
  view_ = new QPlainTextEdit(this);
  view_->setReadOnly(true);
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The table lines up only in a fixed-pitch font, as the log box does.
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const QFontMetrics metrics(view_->font());
  view_->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('0')) * kTableColumns,
                        metrics.lineSpacing() * kTableRows);
  layout->addWidget(view_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  QPushButton* refresh =
      buttons->addButton(QString::fromUtf8(kRefreshButton), QDialogButtonBox::ActionRole);
  connect(refresh, &QPushButton::clicked, this, &StatisticsDlg::Refresh);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  Refresh();
}

void StatisticsDlg::Refresh() {
  view_->setPlainText(QString::fromStdString(FormatSummaryText(engine_.statistics.Snapshot())));
}

QString StatisticsDlg::text() const { return view_->toPlainText(); }

}  // namespace tarvik::qt
