#include "tool/CPAccountDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "config/PasswordCipher.h"
#include "net/ServerHosts.h"
#include "tool/Prompter.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }
QString Q(const OptString& text) { return text ? QString::fromStdString(*text) : QString(); }

}  // namespace

int RunDialogModally(QDialog& dialog) { return dialog.exec(); }

std::vector<std::shared_ptr<CPConfigAccount>> CopyAccounts(const std::vector<std::shared_ptr<CPConfigAccount>>& list) {
  std::vector<std::shared_ptr<CPConfigAccount>> copy;
  copy.reserve(list.size());
  for (const auto& account : list) copy.push_back(std::make_shared<CPConfigAccount>(*account));
  return copy;
}

CPAccountDlg::CPAccountDlg(Prompter& prompter, const CPConfigAccount* account, QWidget* parent)
    : QDialog(parent), prompter_(prompter), editing_(account != nullptr) {
  buildLayout();
  binding_.text(nameField, &name_);
  binding_.text(participantIdField, &participantId_);
  binding_.text(loginField, &login_);
  binding_.text(passwordField, &password_);
  binding_.text(passwordAgainField, &passwordAgain_);
  binding_.check(notifyBox, &notify_);
  binding_.text(phoneField, &phone_);
  binding_.number(timeoutField, &timeout_);

  if (account) {
    name_ = Q(account->name);
    participantId_ = Q(account->ParticipantID);
    login_ = Q(account->login);
    phone_ = Q(account->phone);
    timeout_ = account->timeout;
    hostid_ = account->hostid;
    notify_ = account->notify;
    if (account->password) openingPlain_ = DecryptText(account->login, account->password);
    if (openingPlain_) password_ = passwordAgain_ = Q(texts::kPlaceholder);
  }
  binding_.put();
  // The tool offers no SMS notification: the switch always shows off.
  notifyBox->setChecked(false);
  disableNotification();
  for (int32_t row = 0; row < kServerHostCount; ++row) serverList->addItem(QString::fromStdString(ServerHost(row)));
  serverList->setCurrentIndex(hostid_ >= 0 && hostid_ < kServerHostCount ? hostid_ : -1);

  connect(testButton, &QPushButton::clicked, this, [this] { prompter_.error(this, Q(texts::kSmsUnavailable)); });
  connect(notifyBox, &QCheckBox::clicked, this, [this] { disableNotification(); });
  connect(okButton, &QPushButton::clicked, this, &CPAccountDlg::accept);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CPAccountDlg::~CPAccountDlg() = default;

void CPAccountDlg::buildLayout() {
  setWindowTitle(Q(texts::kAccountTitle));
  nameField = new QLineEdit;
  participantIdField = new QLineEdit;
  loginField = new QLineEdit;
  passwordField = new QLineEdit;
  passwordField->setEchoMode(QLineEdit::Password);
  passwordAgainField = new QLineEdit;
  passwordAgainField->setEchoMode(QLineEdit::Password);
  notifyBox = new QCheckBox(Q(texts::kNotify));
  phoneField = new QLineEdit;
  timeoutField = new QLineEdit;
  timeoutField->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), timeoutField));
  testButton = new QPushButton(Q(texts::kTest));
  serverList = new QComboBox;
  serverList->setEditable(false);
  okButton = new QPushButton(Q(texts::kOk));
  okButton->setDefault(true);
  cancelButton = new QPushButton(Q(texts::kCancel));

  // Left column: the five text fields.
  auto* left = new QGridLayout;
  const std::pair<const char*, QLineEdit*> fields[] = {{texts::kName, nameField},
                                                       {texts::kParticipantId, participantIdField},
                                                       {texts::kLogin, loginField},
                                                       {texts::kPassword, passwordField},
                                                       {texts::kPasswordAgain, passwordAgainField}};
  int row = 0;
  for (const auto& [label, field] : fields) {
    left->addWidget(new QLabel(Q(label)), row, 0);
    left->addWidget(field, row++, 1);
  }
  left->setRowStretch(row, 1);

  // Right column: the server on top, then the notification.
  auto* right = new QGridLayout;
  right->addWidget(new QLabel(Q(texts::kServer)), 0, 0);
  right->addWidget(serverList, 0, 1, 1, 2);
  right->addWidget(notifyBox, 1, 0, 1, 3);
  right->addWidget(new QLabel(Q(texts::kPhone)), 2, 0);
  right->addWidget(phoneField, 2, 1, 1, 2);
  right->addWidget(new QLabel(Q(texts::kTimeout)), 3, 0);
  auto* timeoutLine = new QHBoxLayout;
  timeoutLine->addWidget(timeoutField);
  timeoutLine->addWidget(new QLabel(Q(texts::kMinutes)));
  right->addLayout(timeoutLine, 3, 1);
  right->addWidget(testButton, 3, 2);
  right->setRowStretch(4, 1);

  auto* columns = new QHBoxLayout;
  columns->addLayout(left, 3);
  columns->addSpacing(12);
  columns->addLayout(right, 2);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);

  auto* whole = new QVBoxLayout(this);
  whole->addLayout(columns);
  whole->addLayout(buttons);

  setTabOrder(nameField, participantIdField);
  setTabOrder(participantIdField, loginField);
  setTabOrder(loginField, passwordField);
  setTabOrder(passwordField, passwordAgainField);
  setTabOrder(passwordAgainField, notifyBox);
  setTabOrder(notifyBox, phoneField);
  setTabOrder(phoneField, timeoutField);
  setTabOrder(timeoutField, testButton);
  setTabOrder(testButton, serverList);
  setTabOrder(serverList, okButton);
  setTabOrder(okButton, cancelButton);
}

void CPAccountDlg::disableNotification() {
  notifyBox->setEnabled(false);
  phoneField->setEnabled(false);
  timeoutField->setEnabled(false);
}

void CPAccountDlg::accept() {
  if (QWidget* bad = binding_.take()) {
    prompter_.error(this, Q(texts::kNotInteger));
    bad->setFocus();
    return;
  }
  // Incomplete accounts are refused without a message: the focus shows what is missing.
  for (QLineEdit* required : {nameField, participantIdField, loginField, passwordField}) {
    if (required->text().isEmpty()) {
      required->setFocus();
      return;
    }
  }
  if (password_ != passwordAgain_) {
    prompter_.error(this, Q(texts::kPasswordsDiffer));
    passwordAgainField->setFocus();
    return;
  }
  if (notify_ && (phone_.isEmpty() || timeout_ == 0)) {
    (phone_.isEmpty() ? phoneField : timeoutField)->setFocus();
    return;
  }
  const QString chosen = serverList->currentText();
  for (int32_t row = 0; row < kServerHostCount; ++row) {
    if (chosen == QString::fromStdString(ServerHost(row))) {
      hostid_ = row;
      break;
    }
  }
  QDialog::accept();
}

void CPAccountDlg::applyTo(CPConfigAccount& account) const {
  account.name = name_.toStdString();
  account.ParticipantID = participantId_.toStdString();
  account.login = login_.toStdString();
  account.phone = phone_.toStdString();
  if (!editing_ || password_ != Q(texts::kPlaceholder)) {
    SecretString typed(password_.toStdString());
    account.plainPassword = std::move(typed);
  } else {
    account.plainPassword = openingPlain_;
  }
  account.password.reset();
  if (account.plainPassword)
    account.password = EncryptText(account.login, std::optional<std::string_view>(account.plainPassword->view()));
  account.notify = notify_;
  account.timeout = timeout_;
  account.hostid = hostid_;
}

}  // namespace zel
