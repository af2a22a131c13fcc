// The account list dialog "Аккаунты": a filtered, sortable list for installations with many
// accounts. It works on its own copy of the list (records copied too) and keeps a changed flag;
// only "Применить и закрыть" closes it with OK, so any other way out changes nothing.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "config/CPConfig.h"
#include "tool/CPAccountDlg.h"

class QLineEdit;
class QPushButton;
class QTableWidget;

namespace zel {

class Prompter;

using AccountList = std::vector<std::shared_ptr<CPConfigAccount>>;

// Cyrillic-aware case folding: lower-cased containment and case-insensitive ordering.
bool ContainsFolded(const QString& text, const QString& part);
int CompareFolded(const QString& a, const QString& b);

class CPAccountListDlg : public QDialog {
  Q_OBJECT
 public:
  CPAccountListDlg(Prompter& prompter, const AccountList& accounts, QWidget* parent = nullptr);

  const AccountList& accounts() const { return accounts_; }
  bool changed() const { return changed_; }
  // Stable ascending sort by column 0..3, then the list is refilled with the current filter.
  void sortByColumn(int column);

  DialogRunner runDialog = RunDialogModally;

  QLineEdit* filterField;
  QPushButton* filterButton;
  QTableWidget* table;
  QPushButton* addButton;
  QPushButton* editButton;
  QPushButton* deleteButton;
  QPushButton* applyButton;

 private:
  void buildLayout();
  void applyFilter();
  void refill();
  void showRow(int row, const CPConfigAccount& account);
  void appendRow(const std::shared_ptr<CPConfigAccount>& account);
  void addAccount();
  void editRow(int row);
  void deleteSelected();
  int selectedRow() const;

  Prompter& prompter_;
  AccountList accounts_;
  AccountList rows_;  // the account shown on each row
  QString filter_;
  bool changed_ = false;
};

}  // namespace zel
