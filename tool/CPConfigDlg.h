// The main dialog "Конфигурация": the groups "Расположение", "Сервер" and "Аккаунты" over one
// ConfigForm. "Сохранить" closes it only after every check has passed (the first failure is shown
// with the focus in its field); the connection test connects to the primary exchange host,
// directly or through the proxy, and reports one of three outcomes.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>

#include "net/CPHostCache.h"
#include "tool/CPAccountDlg.h"
#include "tool/ConfigForm.h"
#include "tool/FormBinding.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace zel {

class Prompter;

// What one connection test came to.
enum class ConnectionOutcome { Connected, ConnectFailed, TlsFailed };
ConnectionOutcome TestConnection(CPHostCache& hosts, const std::string& host, uint16_t port,
                                 const CPConfigProxy& proxy);

// True when the path names an existing folder as it is spelled: a trailing "/" is refused.
bool IsExistingFolder(const QString& path);

class CPConfigDlg : public QDialog {
  Q_OBJECT
 public:
  CPConfigDlg(Prompter& prompter, ConfigForm form, QWidget* parent = nullptr);
  ~CPConfigDlg() override;

  const ConfigForm& form() const { return form_; }
  // The host-name cache of the connection test; it lives as long as the dialog.
  CPHostCache& hostCache() { return hosts_; }
  DialogRunner runDialog = RunDialogModally;

  // Rows of the accounts list, one per account in list order.
  void rebuildAccountRows();
  void testConnection();

  QLineEdit *basedirField, *inboundField, *outboundField, *badField, *queueField, *tempField, *logfileField, *copyField;
  QPushButton *basedirButton, *inboundButton, *outboundButton, *badButton, *queueButton, *tempButton, *logfileButton,
      *copyButton;
  QCheckBox *subdirsBox, *byLoginBox, *copyBox;
  QLineEdit *serverHostField, *portField, *refreshField, *listField, *getField, *postField, *removeField;
  QCheckBox *compressionBox, *proxyBox, *proxyAuthBox, *proxyAdBox, *textMessageBox, *mailBox;
  QLineEdit *proxyHostField, *proxyPortField, *proxyLoginField, *proxyPasswordField, *smtpField, *pop3Field;
  QPushButton *testButton, *addButton, *editButton, *deleteButton, *saveButton, *cancelButton;
  QTableWidget* accountsList;
  QLabel* versionLabel;

 public slots:
  void accept() override;

 private:
  struct Failure {
    QWidget* field;
    QString message;
  };
  void buildLayout();
  void bindValues();
  void updateProxyEnabling();
  void updateSubdirsEnabling();
  void updateMailEnabling();
  void pickFolder(QString* value, const char* title);
  void pickLogfile();
  std::optional<Failure> firstSaveFailure() const;
  std::optional<Failure> serverAndProxyFailure() const;
  void showFailure(const Failure& failure);
  std::shared_ptr<CPConfigAccount> selectedAccount() const;
  void addAccount();
  void editAccount();
  void deleteAccount();
  void openAccountList();

  Prompter& prompter_;
  ConfigForm form_;
  FormBinding binding_;
  CPHostCache hosts_;
};

}  // namespace zel
