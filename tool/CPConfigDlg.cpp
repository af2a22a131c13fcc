#include "tool/CPConfigDlg.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QVBoxLayout>

#include "config/PasswordCipher.h"
#include "net/CPChannel.h"
#include "net/ServerHosts.h"
#include "tool/CPAccountListDlg.h"
#include "tool/Prompter.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }
QString Q(const OptString& text) { return text ? QString::fromStdString(*text) : QString(); }
QString BadValue(const char* field) { return Q(texts::kBadValue).arg(Q(field)); }

}  // namespace

ConnectionOutcome TestConnection(CPHostCache& hosts, const std::string& host, uint16_t port,
                                 const CPConfigProxy& proxy) {
  CPChannel channel(&hosts);
  if (!channel.connect(host, port, &proxy)) return ConnectionOutcome::ConnectFailed;
  ConnectionOutcome outcome = channel.handshake() ? ConnectionOutcome::Connected : ConnectionOutcome::TlsFailed;
  channel.disconnect();
  return outcome;
}

bool IsExistingFolder(const QString& path) {
  if (path.isEmpty() || path.endsWith('/')) return false;
  struct stat st {};
  return ::stat(path.toUtf8().constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

CPConfigDlg::CPConfigDlg(Prompter& prompter, ConfigForm form, QWidget* parent)
    : QDialog(parent), prompter_(prompter), form_(std::move(form)) {
  buildLayout();
  bindValues();
  binding_.put();
  rebuildAccountRows();
  updateProxyEnabling();
  updateSubdirsEnabling();
  updateMailEnabling();

  for (QCheckBox* box : {proxyBox, proxyAuthBox, proxyAdBox})
    connect(box, &QCheckBox::clicked, this, &CPConfigDlg::updateProxyEnabling);
  connect(subdirsBox, &QCheckBox::clicked, this, &CPConfigDlg::updateSubdirsEnabling);
  connect(mailBox, &QCheckBox::clicked, this, &CPConfigDlg::updateMailEnabling);
  const std::tuple<QPushButton*, QString*, const char*> folders[] = {
      {basedirButton, &form_.basedir, texts::kBasedir},
      {inboundButton, &form_.inbound, texts::kInbound},
      {outboundButton, &form_.outbound, texts::kOutbound},
      {badButton, &form_.bad, texts::kBad},
      {queueButton, &form_.queue, texts::kQueue},
      {tempButton, &form_.temp, texts::kTemp},
      {copyButton, &form_.copy, texts::kCopy}};
  for (const auto& [button, value, title] : folders)
    connect(button, &QPushButton::clicked, this, [this, value = value, title = title] { pickFolder(value, title); });
  connect(logfileButton, &QPushButton::clicked, this, &CPConfigDlg::pickLogfile);
  connect(testButton, &QPushButton::clicked, this, &CPConfigDlg::testConnection);
  connect(addButton, &QPushButton::clicked, this, &CPConfigDlg::addAccount);
  connect(editButton, &QPushButton::clicked, this, &CPConfigDlg::editAccount);
  connect(deleteButton, &QPushButton::clicked, this, &CPConfigDlg::deleteAccount);
  connect(accountsList, &QTableWidget::cellDoubleClicked, this, &CPConfigDlg::openAccountList);
  connect(saveButton, &QPushButton::clicked, this, &CPConfigDlg::accept);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CPConfigDlg::~CPConfigDlg() = default;

void CPConfigDlg::buildLayout() {
  setWindowTitle(Q(texts::kConfigTitle));
  auto field = [] { return new QLineEdit; };
  auto browse = [] {
    auto* b = new QPushButton(Q(texts::kBrowse));
    b->setFixedWidth(b->fontMetrics().horizontalAdvance("...") + 24);
    b->setAutoDefault(false);
    return b;
  };
  auto box = [](const char* label) { return new QCheckBox(Q(label)); };
  auto button = [](const char* label) {
    auto* b = new QPushButton(Q(label));
    b->setAutoDefault(false);
    return b;
  };
  auto digitsOnly = [](QLineEdit* f) {
    f->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), f));
    return f;
  };

  // Расположение: label, field and "..." per folder, the switches where they belong.
  basedirField = field(), basedirButton = browse();
  inboundField = field(), inboundButton = browse();
  subdirsBox = box(texts::kSubdirs);
  byLoginBox = box(texts::kByLogin);
  copyBox = box(texts::kCopyEnabled);
  copyField = field(), copyButton = browse();
  outboundField = field(), outboundButton = browse();
  badField = field(), badButton = browse();
  queueField = field(), queueButton = browse();
  tempField = field(), tempButton = browse();
  logfileField = field(), logfileButton = browse();
  auto* location = new QGroupBox(Q(texts::kGroupLocation));
  auto* lg = new QGridLayout(location);
  int row = 0;
  auto folderLine = [&](const char* label, QLineEdit* f, QPushButton* b) {
    lg->addWidget(new QLabel(Q(label)), row, 0);
    lg->addWidget(f, row, 1);
    lg->addWidget(b, row++, 2);
  };
  folderLine(texts::kBasedir, basedirField, basedirButton);
  folderLine(texts::kInbound, inboundField, inboundButton);
  lg->addWidget(subdirsBox, row++, 0, 1, 3);
  auto* byLoginLine = new QHBoxLayout;
  byLoginLine->addSpacing(20);
  byLoginLine->addWidget(byLoginBox);
  lg->addLayout(byLoginLine, row++, 0, 1, 3);
  lg->addWidget(copyBox, row++, 0, 1, 3);
  lg->addWidget(copyField, row, 1);
  lg->addWidget(copyButton, row++, 2);
  folderLine(texts::kOutbound, outboundField, outboundButton);
  folderLine(texts::kBad, badField, badButton);
  folderLine(texts::kQueue, queueField, queueButton);
  folderLine(texts::kTemp, tempField, tempButton);
  folderLine(texts::kLogfile, logfileField, logfileButton);
  lg->setColumnMinimumWidth(1, 260);
  lg->setRowStretch(row, 1);

  // Сервер: the exchange server, the proxy, the mail gateway.
  serverHostField = field();
  serverHostField->setReadOnly(true);
  portField = field();
  refreshField = field();
  listField = field(), getField = field(), postField = field(), removeField = field();
  compressionBox = box(texts::kCompression);
  proxyBox = box(texts::kProxyEnabled);
  proxyHostField = field();
  proxyPortField = field();
  proxyAuthBox = box(texts::kProxyAuth);
  proxyLoginField = field();
  proxyPasswordField = field();
  proxyPasswordField->setEchoMode(QLineEdit::Password);
  proxyAdBox = box(texts::kProxyAd);
  textMessageBox = box(texts::kTextMessage);
  testButton = button(texts::kTestConnection);
  mailBox = box(texts::kMailserver);
  smtpField = digitsOnly(field());
  pop3Field = digitsOnly(field());
  const int digit = QFontMetrics(font()).horizontalAdvance("0");
  for (QLineEdit* number : {portField, refreshField, proxyPortField, smtpField, pop3Field})
    number->setMaximumWidth(digit * 8 + 12);

  auto* server = new QGroupBox(Q(texts::kGroupServer));
  auto* sg = new QGridLayout(server);
  row = 0;
  auto line = [&](const char* label, QWidget* w, const char* unit = nullptr) {
    sg->addWidget(new QLabel(Q(label)), row, 0);
    if (unit) {
      auto* l = new QHBoxLayout;
      l->addWidget(w);
      l->addWidget(new QLabel(Q(unit)));
      l->addStretch(1);
      sg->addLayout(l, row++, 1, 1, 3);
    } else {
      sg->addWidget(w, row++, 1, 1, 3);
    }
  };
  auto wide = [&](QWidget* w, int indent = 0) {
    if (indent == 0) {
      sg->addWidget(w, row++, 0, 1, 4);
      return;
    }
    auto* l = new QHBoxLayout;
    l->addSpacing(indent);
    l->addWidget(w);
    l->addStretch(1);
    sg->addLayout(l, row++, 0, 1, 4);
  };
  line(texts::kHost, serverHostField);
  line(texts::kPort, portField, "");
  line(texts::kRefresh, refreshField, texts::kSeconds);
  line(texts::kList, listField);
  line(texts::kGet, getField);
  line(texts::kPost, postField);
  line(texts::kRemove, removeField);
  wide(compressionBox);
  wide(proxyBox);
  {
    auto* l = new QHBoxLayout;
    l->addSpacing(20);
    l->addWidget(new QLabel(Q(texts::kHost)));
    l->addWidget(proxyHostField, 1);
    l->addWidget(new QLabel(Q(texts::kPort)));
    l->addWidget(proxyPortField);
    sg->addLayout(l, row++, 0, 1, 4);
  }
  wide(proxyAuthBox, 20);
  {
    auto* l = new QGridLayout;
    l->setColumnMinimumWidth(0, 20);
    l->addWidget(new QLabel(Q(texts::kLogin)), 0, 1);
    l->addWidget(proxyLoginField, 0, 2);
    l->addWidget(new QLabel(Q(texts::kPassword)), 1, 1);
    l->addWidget(proxyPasswordField, 1, 2);
    sg->addLayout(l, row++, 0, 1, 4);
  }
  wide(proxyAdBox, 20);
  wide(textMessageBox);
  {
    auto* l = new QHBoxLayout;
    l->addStretch(1);
    l->addWidget(testButton);
    sg->addLayout(l, row++, 0, 1, 4);
  }
  wide(mailBox);
  {
    auto* l = new QHBoxLayout;
    l->addSpacing(20);
    l->addWidget(new QLabel(Q(texts::kPorts)));
    l->addWidget(new QLabel(Q(texts::kSmtp)));
    l->addWidget(smtpField);
    l->addWidget(new QLabel(Q(texts::kPop3)));
    l->addWidget(pop3Field);
    l->addStretch(1);
    sg->addLayout(l, row++, 0, 1, 4);
  }
  sg->setColumnStretch(1, 1);
  sg->setRowStretch(row, 1);

  // Аккаунты: the list with its three buttons.
  accountsList = new QTableWidget(0, 3);
  accountsList->setHorizontalHeaderLabels({Q(texts::kName), Q(texts::kLogin), Q(texts::kParticipantId)});
  accountsList->setSelectionBehavior(QAbstractItemView::SelectRows);
  accountsList->setSelectionMode(QAbstractItemView::SingleSelection);
  accountsList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  accountsList->setShowGrid(true);
  accountsList->verticalHeader()->hide();
  const int unit = QFontMetrics(font()).averageCharWidth();
  const int widths[] = {80, 110, 120};
  int total = 0;
  for (int c = 0; c < 3; ++c) {
    accountsList->setColumnWidth(c, widths[c] * unit / 4 + 8);
    total += widths[c] * unit / 4 + 8;
  }
  accountsList->horizontalHeader()->setStretchLastSection(true);
  accountsList->setWordWrap(false);
  accountsList->setMinimumWidth(total + 2 * accountsList->frameWidth() + 4);
  addButton = button(texts::kAdd);
  editButton = button(texts::kEdit);
  deleteButton = button(texts::kDelete);
  auto* accounts = new QGroupBox(Q(texts::kGroupAccounts));
  auto* ag = new QHBoxLayout(accounts);
  ag->addWidget(accountsList, 1);
  auto* accountButtons = new QVBoxLayout;
  accountButtons->addWidget(addButton);
  accountButtons->addWidget(editButton);
  accountButtons->addWidget(deleteButton);
  accountButtons->addStretch(1);
  ag->addLayout(accountButtons);

  // Bottom right: Сохранить (default), Отмена, the version.
  saveButton = new QPushButton(Q(texts::kSave));
  saveButton->setDefault(true);
  cancelButton = button(texts::kCancel);
  versionLabel = new QLabel(Q(texts::kVersion));
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(versionLabel);
  bottom->addSpacing(12);
  bottom->addWidget(saveButton);
  bottom->addWidget(cancelButton);

  auto* grid = new QGridLayout(this);
  grid->addWidget(location, 0, 0);
  grid->addWidget(accounts, 1, 0);
  grid->addWidget(server, 0, 1, 2, 1);
  grid->addLayout(bottom, 2, 0, 1, 2);
  grid->setRowStretch(1, 1);
}

void CPConfigDlg::bindValues() {
  ConfigForm& f = form_;
  binding_.text(basedirField, &f.basedir);
  binding_.text(inboundField, &f.inbound);
  binding_.check(subdirsBox, &f.subdirs);
  binding_.check(byLoginBox, &f.byLogin);
  binding_.check(copyBox, &f.copyEnabled);
  binding_.text(copyField, &f.copy);
  binding_.text(outboundField, &f.outbound);
  binding_.text(badField, &f.bad);
  binding_.text(queueField, &f.queue);
  binding_.text(tempField, &f.temp);
  binding_.text(logfileField, &f.logfile);
  binding_.text(serverHostField, &f.serverHost);
  binding_.number(portField, &f.port);
  binding_.number(refreshField, &f.refresh);
  binding_.text(listField, &f.list);
  binding_.text(getField, &f.get);
  binding_.text(postField, &f.post);
  binding_.text(removeField, &f.remove);
  binding_.check(compressionBox, &f.compression);
  binding_.check(proxyBox, &f.proxyEnabled);
  binding_.text(proxyHostField, &f.proxyHost);
  binding_.number(proxyPortField, &f.proxyPort);
  binding_.check(proxyAuthBox, &f.proxyAuth);
  binding_.text(proxyLoginField, &f.proxyLogin);
  binding_.text(proxyPasswordField, &f.proxyPassword);
  binding_.check(proxyAdBox, &f.proxyAd);
  binding_.check(textMessageBox, &f.textMessage);
  binding_.check(mailBox, &f.mailEnabled);
  binding_.number(smtpField, &f.smtpPort);
  binding_.number(pop3Field, &f.pop3Port);
}

void CPConfigDlg::updateProxyEnabling() {
  const bool proxy = proxyBox->isChecked();
  const bool auth = proxy && proxyAuthBox->isChecked();
  proxyHostField->setEnabled(proxy);
  proxyPortField->setEnabled(proxy);
  proxyAuthBox->setEnabled(proxy);
  proxyAdBox->setEnabled(auth);
  proxyLoginField->setEnabled(auth && !proxyAdBox->isChecked());
  proxyPasswordField->setEnabled(auth && !proxyAdBox->isChecked());
}

void CPConfigDlg::updateSubdirsEnabling() {
  if (!subdirsBox->isChecked()) byLoginBox->setChecked(false);
  byLoginBox->setEnabled(subdirsBox->isChecked());
}

void CPConfigDlg::updateMailEnabling() {
  smtpField->setEnabled(mailBox->isChecked());
  pop3Field->setEnabled(mailBox->isChecked());
}

void CPConfigDlg::pickFolder(QString* value, const char* title) {
  if (auto chosen = prompter_.pickFolder(this, Q(title), *value)) *value = *chosen;
  binding_.put();
}

void CPConfigDlg::pickLogfile() {
  QString folder = form_.basedir, name;
  int cut = form_.logfile.lastIndexOf('/');
  if (!form_.logfile.isEmpty() && cut >= 0) {
    folder = form_.logfile.left(cut);
    name = form_.logfile.mid(cut + 1);
  }
  if (auto chosen = prompter_.pickSaveFile(this, Q(texts::kLogfile), folder, name)) form_.logfile = *chosen;
  binding_.put();
}

std::optional<CPConfigDlg::Failure> CPConfigDlg::serverAndProxyFailure() const {
  const ConfigForm& f = form_;
  const std::tuple<const QString&, QLineEdit*, const char*> paths[] = {{f.list, listField, texts::kServerList},
                                                                       {f.get, getField, texts::kServerGet},
                                                                       {f.post, postField, texts::kServerPost},
                                                                       {f.remove, removeField, texts::kServerRemove}};
  for (const auto& [value, field, name] : paths)
    if (value.isEmpty()) return Failure{field, BadValue(name)};
  if (f.proxyEnabled) {
    if (f.proxyHost.isEmpty()) return Failure{proxyHostField, BadValue(texts::kProxyHost)};
    if (f.proxyPort == 0) return Failure{proxyPortField, BadValue(texts::kProxyPort)};
    if (f.proxyAuth && !f.proxyAd && f.proxyLogin.isEmpty())
      return Failure{proxyLoginField, BadValue(texts::kProxyLogin)};
  }
  return std::nullopt;
}

std::optional<CPConfigDlg::Failure> CPConfigDlg::firstSaveFailure() const {
  const ConfigForm& f = form_;
  const std::tuple<const QString&, QLineEdit*, const char*> folders[] = {
      {f.basedir, basedirField, texts::kBasedir},    {f.inbound, inboundField, texts::kInbound},
      {f.outbound, outboundField, texts::kOutbound}, {f.bad, badField, texts::kBad},
      {f.queue, queueField, texts::kQueue},          {f.temp, tempField, texts::kTemp}};
  auto folderFailure = [](const QString& value, QLineEdit* field, const char* name) -> std::optional<Failure> {
    if (value.isEmpty()) return Failure{field, BadValue(name)};
    if (!IsExistingFolder(value)) return Failure{field, Q(texts::kNoFolder).arg(value, Q(name))};
    return std::nullopt;
  };
  for (const auto& [value, field, name] : folders)
    if (auto failure = folderFailure(value, field, name)) return failure;
  if (f.copyEnabled)
    if (auto failure = folderFailure(f.copy, copyField, texts::kCopy)) return failure;
  if (f.logfile.isEmpty()) return Failure{logfileField, BadValue(texts::kLogfile)};
  if (auto failure = serverAndProxyFailure()) return failure;
  if (f.mailEnabled) {
    if (f.smtpPort == 0) return Failure{smtpField, BadValue(texts::kSmtpPort)};
    if (f.pop3Port == 0) return Failure{pop3Field, BadValue(texts::kPop3Port)};
  }
  return std::nullopt;
}

void CPConfigDlg::showFailure(const Failure& failure) {
  prompter_.error(this, failure.message);
  failure.field->setFocus();
}

void CPConfigDlg::accept() {
  if (QWidget* bad = binding_.take()) {
    prompter_.error(this, Q(texts::kNotInteger));
    bad->setFocus();
    return;
  }
  if (auto failure = firstSaveFailure()) {
    showFailure(*failure);
    return;
  }
  if (form_.accounts.empty() && !prompter_.question(this, Q(texts::kEmptyAccounts))) return;
  QDialog::accept();
}

void CPConfigDlg::testConnection() {
  if (QWidget* bad = binding_.take()) {
    // The test goes on with the values held before.
    prompter_.error(this, Q(texts::kNotInteger));
    bad->setFocus();
  }
  if (form_.serverHost.isEmpty()) {
    showFailure({serverHostField, BadValue(texts::kServerHost)});
    return;
  }
  if (auto failure = serverAndProxyFailure()) {
    showFailure(*failure);
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  CPConfigProxy proxy;
  proxy.enabled = form_.proxyEnabled;
  proxy.auth = form_.proxyAuth;
  proxy.ad = form_.proxyAd;
  if (!form_.proxyHost.isEmpty()) proxy.host = form_.proxyHost.toStdString();
  if (!form_.proxyLogin.isEmpty()) proxy.login = form_.proxyLogin.toStdString();
  proxy.port = uint16_t(form_.proxyPort);
  proxy.plainPassword = ProxyPasswordOf(form_);
  ConnectionOutcome outcome = TestConnection(hosts_, ServerHost(0), uint16_t(form_.port), proxy);
  QApplication::restoreOverrideCursor();
  switch (outcome) {
    case ConnectionOutcome::Connected: prompter_.information(this, Q(texts::kConnected)); break;
    case ConnectionOutcome::ConnectFailed: prompter_.error(this, Q(texts::kConnectFailed)); break;
    case ConnectionOutcome::TlsFailed: prompter_.error(this, Q(texts::kTlsFailed)); break;
  }
}

void CPConfigDlg::rebuildAccountRows() {
  accountsList->setRowCount(0);
  for (const auto& account : form_.accounts) {
    int row = accountsList->rowCount();
    accountsList->insertRow(row);
    accountsList->setItem(row, 0, new QTableWidgetItem(Q(account->name)));
    accountsList->setItem(row, 1, new QTableWidgetItem(Q(account->login)));
    accountsList->setItem(row, 2, new QTableWidgetItem(Q(account->ParticipantID)));
  }
}

std::shared_ptr<CPConfigAccount> CPConfigDlg::selectedAccount() const {
  const auto selected = accountsList->selectionModel()->selectedRows();
  if (selected.isEmpty()) return nullptr;
  const QString name = accountsList->item(selected.first().row(), 0)->text();
  for (const auto& account : form_.accounts)
    if (CompareFolded(Q(account->name), name) == 0) return account;
  return nullptr;
}

void CPConfigDlg::addAccount() {
  CPAccountDlg dialog(prompter_, nullptr, this);
  if (runDialog(dialog) != QDialog::Accepted) return;
  auto account = std::make_shared<CPConfigAccount>();
  dialog.applyTo(*account);
  form_.accounts.push_back(account);
  rebuildAccountRows();
}

void CPConfigDlg::editAccount() {
  auto account = selectedAccount();
  if (!account) return;
  CPAccountDlg dialog(prompter_, account.get(), this);
  if (runDialog(dialog) != QDialog::Accepted) return;
  dialog.applyTo(*account);
  rebuildAccountRows();
}

void CPConfigDlg::deleteAccount() {
  auto account = selectedAccount();
  if (!account) return;
  if (!prompter_.question(this, Q(texts::kDeleteAccount).arg(Q(account->name)))) return;
  std::erase(form_.accounts, account);
  rebuildAccountRows();
}

void CPConfigDlg::openAccountList() {
  CPAccountListDlg dialog(prompter_, form_.accounts, this);
  if (runDialog(dialog) != QDialog::Accepted || !dialog.changed()) return;
  form_.accounts = dialog.accounts();
  rebuildAccountRows();
}

}  // namespace zel
