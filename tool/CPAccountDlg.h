// The account dialog "Аккаунт": edits one account, new or existing. OK is accepted only for a
// complete account with matching passwords; applyTo() then copies the values into an account,
// encrypting its password anew under its (possibly changed) login.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>

#include "config/CPConfig.h"
#include "tool/FormBinding.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace zel {

class Prompter;

class CPAccountDlg : public QDialog {
  Q_OBJECT
 public:
  // `account` null: a new account.
  CPAccountDlg(Prompter& prompter, const CPConfigAccount* account, QWidget* parent = nullptr);
  ~CPAccountDlg() override;

  void applyTo(CPConfigAccount& account) const;

  QLineEdit* nameField;
  QLineEdit* participantIdField;
  QLineEdit* loginField;
  QLineEdit* passwordField;
  QLineEdit* passwordAgainField;
  QCheckBox* notifyBox;
  QLineEdit* phoneField;
  QLineEdit* timeoutField;
  QPushButton* testButton;
  QComboBox* serverList;
  QPushButton* okButton;
  QPushButton* cancelButton;

 public slots:
  void accept() override;

 private:
  void buildLayout();
  void disableNotification();

  Prompter& prompter_;
  const bool editing_;
  OptSecret openingPlain_;
  FormBinding binding_;
  QString name_, participantId_, login_, password_, passwordAgain_, phone_;
  bool notify_ = false;
  int32_t timeout_ = 15;
  int32_t hostid_ = 0;
};

// Runs a dialog modally; tests replace it to fill and confirm dialogs without an event loop.
using DialogRunner = std::function<int(QDialog&)>;
int RunDialogModally(QDialog& dialog);

// A fresh copy of every account record, so that edits of the copy leave the originals alone.
std::vector<std::shared_ptr<CPConfigAccount>> CopyAccounts(const std::vector<std::shared_ptr<CPConfigAccount>>& list);

}  // namespace zel
