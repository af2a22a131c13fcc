#include "tool/CPAccountListDlg.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "net/ServerHosts.h"
#include "tool/Prompter.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }
QString Q(const OptString& text) { return text ? QString::fromStdString(*text) : QString(); }

QString ColumnText(const CPConfigAccount& account, int column) {
  switch (column) {
    case 0: return Q(account.name);
    case 1: return Q(account.login);
    case 2: return Q(account.ParticipantID);
    default: return QString::fromStdString(ServerHost(account.hostid));
  }
}

}  // namespace

bool ContainsFolded(const QString& text, const QString& part) { return text.toLower().contains(part.toLower()); }

int CompareFolded(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive); }

CPAccountListDlg::CPAccountListDlg(Prompter& prompter, const AccountList& accounts, QWidget* parent)
    : QDialog(parent), prompter_(prompter), accounts_(CopyAccounts(accounts)) {
  buildLayout();
  connect(filterButton, &QPushButton::clicked, this, &CPAccountListDlg::applyFilter);
  connect(table->horizontalHeader(), &QHeaderView::sectionClicked, this, &CPAccountListDlg::sortByColumn);
  connect(table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { editRow(row); });
  connect(addButton, &QPushButton::clicked, this, &CPAccountListDlg::addAccount);
  connect(editButton, &QPushButton::clicked, this, [this] { editRow(selectedRow()); });
  connect(deleteButton, &QPushButton::clicked, this, &CPAccountListDlg::deleteSelected);
  connect(applyButton, &QPushButton::clicked, this, &QDialog::accept);
  refill();
  filterField->setFocus();
}

void CPAccountListDlg::buildLayout() {
  setWindowTitle(Q(texts::kAccountsTitle));
  filterField = new QLineEdit;
  filterButton = new QPushButton(Q(texts::kApplyFilter));
  filterButton->setDefault(true);
  table = new QTableWidget(0, 4);
  table->setHorizontalHeaderLabels({Q(texts::kName), Q(texts::kLogin), Q(texts::kParticipantId), Q(texts::kServer)});
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setShowGrid(true);
  table->setWordWrap(false);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setSortIndicatorShown(false);
  table->horizontalHeader()->setSectionsClickable(true);
  // Column widths in dialog units: a quarter of the average character width each.
  const int unit = QFontMetrics(font()).averageCharWidth();
  const int widths[] = {160, 180, 120, 120};
  int total = 0;
  for (int c = 0; c < 4; ++c) {
    table->setColumnWidth(c, widths[c] * unit / 4);
    total += widths[c] * unit / 4;
  }
  table->setMinimumWidth(total + 24);
  table->setMinimumHeight(18 * unit * 2);
  addButton = new QPushButton(Q(texts::kAdd));
  editButton = new QPushButton(Q(texts::kEdit));
  deleteButton = new QPushButton(Q(texts::kDelete));
  applyButton = new QPushButton(Q(texts::kApplyAndClose));

  auto* filterLine = new QHBoxLayout;
  filterLine->addWidget(new QLabel(Q(texts::kFilter)));
  filterLine->addWidget(filterField, 1);
  filterLine->addWidget(filterButton);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(addButton);
  buttons->addWidget(editButton);
  buttons->addWidget(deleteButton);
  buttons->addStretch(1);
  buttons->addWidget(applyButton);

  auto* whole = new QVBoxLayout(this);
  whole->addLayout(filterLine);
  whole->addWidget(table, 1);
  whole->addLayout(buttons);
}

void CPAccountListDlg::applyFilter() {
  filter_ = filterField->text();
  refill();
}

void CPAccountListDlg::refill() {
  table->setRowCount(0);
  rows_.clear();
  for (const auto& account : accounts_) {
    bool shown = filter_.isEmpty() || ContainsFolded(Q(account->name), filter_) ||
                 ContainsFolded(Q(account->login), filter_) || ContainsFolded(Q(account->ParticipantID), filter_);
    if (shown) appendRow(account);
  }
}

void CPAccountListDlg::appendRow(const std::shared_ptr<CPConfigAccount>& account) {
  int row = table->rowCount();
  table->insertRow(row);
  rows_.push_back(account);
  showRow(row, *account);
}

void CPAccountListDlg::showRow(int row, const CPConfigAccount& account) {
  for (int column = 0; column < 4; ++column)
    table->setItem(row, column, new QTableWidgetItem(ColumnText(account, column)));
}

void CPAccountListDlg::sortByColumn(int column) {
  std::stable_sort(accounts_.begin(), accounts_.end(), [column](const auto& a, const auto& b) {
    return CompareFolded(ColumnText(*a, column), ColumnText(*b, column)) < 0;
  });
  refill();
}

void CPAccountListDlg::addAccount() {
  CPAccountDlg dialog(prompter_, nullptr, this);
  if (runDialog(dialog) != QDialog::Accepted) return;
  auto account = std::make_shared<CPConfigAccount>();
  dialog.applyTo(*account);
  accounts_.push_back(account);
  appendRow(account);  // shown at the end, filter or not, until the filter is applied again
  changed_ = true;
}

void CPAccountListDlg::editRow(int row) {
  if (row < 0 || size_t(row) >= rows_.size()) return;
  const auto& account = rows_[size_t(row)];
  CPAccountDlg dialog(prompter_, account.get(), this);
  if (runDialog(dialog) != QDialog::Accepted) return;
  dialog.applyTo(*account);
  showRow(row, *account);
  changed_ = true;
}

int CPAccountListDlg::selectedRow() const {
  const auto selected = table->selectionModel()->selectedRows();
  return selected.isEmpty() ? -1 : selected.first().row();
}

void CPAccountListDlg::deleteSelected() {
  int row = selectedRow();
  if (row < 0 || size_t(row) >= rows_.size()) return;
  auto account = rows_[size_t(row)];
  if (!prompter_.question(this, Q(texts::kDeleteAccount).arg(Q(account->name)))) return;
  accounts_.erase(std::find(accounts_.begin(), accounts_.end(), account));
  rows_.erase(rows_.begin() + row);
  table->removeRow(row);
  changed_ = true;
}

}  // namespace zel
