// The dialogs of zel-config, offscreen: the save checks in their order with message and focus,
// the enabling rules, the password placeholder rules, "$basedir" folding, the account dialogs
// with their filter, sort and copy semantics, and a whole run from loading to the restart.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <functional>

#include "config/PasswordCipher.h"
#include "net/ServerHosts.h"
#include "platform/ServiceControl.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/CPAccountDlg.h"
#include "tool/CPAccountListDlg.h"
#include "tool/CPConfigApp.h"
#include "tool/CPConfigDlg.h"
#include "tool/ConfigForm.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

using test::RecordingPrompter;
using test::ScratchDir;
namespace fs = std::filesystem;

QString Q(const char* text) { return QString::fromUtf8(text); }
std::string S(const OptString& s) { return s ? *s : "<absent>"; }
std::string Join(const std::vector<std::string>& parts) {
  std::string all;
  for (const auto& p : parts) all += (all.empty() ? "" : ",") + p;
  return all;
}

// Names whose alphabetical order is not the row order.
constexpr const char* kHosts = "host-c.test,host-a.test,host-e.test,host-b.test,host-d.test";

struct SaveCase {
  const char* name;
  std::function<void(CPConfigDlg&, const QString& base)> change;
  const char* message;  // "{base}" stands for the scratch folder; empty: the dialog closes
  std::function<QWidget*(CPConfigDlg&)> focus;
};

#define FIELD(f) [](CPConfigDlg& d) -> QWidget* { return d.f; }
#define SET(f, v)                           \
  [](CPConfigDlg& d, const QString& base) { \
    Q_UNUSED(base);                         \
    d.f->setText(v);                        \
  }

const SaveCase kSaveCases[] = {
    {"basedir empty", SET(basedirField, ""), "Неверное значение поля Рабочий каталог", FIELD(basedirField)},
    {"basedir missing", SET(basedirField, base + "/nothing"),
     "Папка {base}/nothing не найдена для поля Рабочий каталог", FIELD(basedirField)},
    {"basedir with trailing slash", SET(basedirField, base + "/"), "Папка {base}/ не найдена для поля Рабочий каталог",
     FIELD(basedirField)},
    {"basedir the root", SET(basedirField, "/"), "Папка / не найдена для поля Рабочий каталог", FIELD(basedirField)},
    {"basedir a file", SET(basedirField, base + "/zel.log"), "Папка {base}/zel.log не найдена для поля Рабочий каталог",
     FIELD(basedirField)},
    {"inbound empty", SET(inboundField, ""), "Неверное значение поля Входящие", FIELD(inboundField)},
    {"inbound missing before an empty log file",
     [](CPConfigDlg& d, const QString& base) {
       d.inboundField->setText(base + "/none");
       d.logfileField->setText("");
     },
     "Папка {base}/none не найдена для поля Входящие", FIELD(inboundField)},
    {"outbound empty", SET(outboundField, ""), "Неверное значение поля Исходящие", FIELD(outboundField)},
    {"outbound missing", SET(outboundField, base + "/x"), "Папка {base}/x не найдена для поля Исходящие",
     FIELD(outboundField)},
    {"bad empty", SET(badField, ""), "Неверное значение поля Поврежденные файлы", FIELD(badField)},
    {"queue missing", SET(queueField, base + "/q"), "Папка {base}/q не найдена для поля Очередь", FIELD(queueField)},
    {"temp empty", SET(tempField, ""), "Неверное значение поля Временные файлы", FIELD(tempField)},
    {"copy on, empty",
     [](CPConfigDlg& d, const QString&) {
       d.copyBox->click();
       d.copyField->setText("");
     },
     "Неверное значение поля Копия входящих", FIELD(copyField)},
    {"copy on, missing",
     [](CPConfigDlg& d, const QString& base) {
       d.copyBox->click();
       d.copyField->setText(base + "/c");
     },
     "Папка {base}/c не найдена для поля Копия входящих", FIELD(copyField)},
    {"copy off, missing folder not checked", SET(copyField, base + "/c"), "", nullptr},
    {"log file empty", SET(logfileField, ""), "Неверное значение поля Лог-файл", FIELD(logfileField)},
    {"log file folder not checked", SET(logfileField, base + "/no/such/zel.log"), "", nullptr},
    {"list empty", SET(listField, ""), "Неверное значение поля Сервер - Список файлов", FIELD(listField)},
    {"get empty", SET(getField, ""), "Неверное значение поля Сервер - Получение файла", FIELD(getField)},
    {"post empty", SET(postField, ""), "Неверное значение поля Сервер - Отправка файла", FIELD(postField)},
    {"remove empty", SET(removeField, ""), "Неверное значение поля Сервер - Удаление файла", FIELD(removeField)},
    {"proxy host empty",
     [](CPConfigDlg& d, const QString&) {
       d.proxyBox->click();
       d.proxyPortField->setText("3128");
     },
     "Неверное значение поля Прокси - Хост", FIELD(proxyHostField)},
    {"proxy port 0",
     [](CPConfigDlg& d, const QString&) {
       d.proxyBox->click();
       d.proxyHostField->setText("proxy");
       d.proxyPortField->setText("0");
     },
     "Неверное значение поля Прокси - Порт", FIELD(proxyPortField)},
    {"proxy login empty with Basic",
     [](CPConfigDlg& d, const QString&) {
       d.proxyBox->click();
       d.proxyHostField->setText("proxy");
       d.proxyPortField->setText("3128");
       d.proxyAuthBox->click();
     },
     "Неверное значение поля Прокси - Логин", FIELD(proxyLoginField)},
    {"proxy login not needed for the domain",
     [](CPConfigDlg& d, const QString&) {
       d.proxyBox->click();
       d.proxyHostField->setText("proxy");
       d.proxyPortField->setText("3128");
       d.proxyAuthBox->click();
       d.proxyAdBox->click();
     },
     "", nullptr},
    {"proxy off, nothing checked", SET(proxyPortField, "0"), "", nullptr},
    {"SMTP port 0",
     [](CPConfigDlg& d, const QString&) {
       d.mailBox->click();
       d.smtpField->setText("0");
     },
     "Неверное значение поля Порт - SMTP", FIELD(smtpField)},
    {"POP3 port 0",
     [](CPConfigDlg& d, const QString&) {
       d.mailBox->click();
       d.pop3Field->setText("0");
     },
     "Неверное значение поля Порт - POP3", FIELD(pop3Field)},
    {"mail off, ports not checked", SET(smtpField, "0"), "", nullptr},
    {"letters in the port", SET(portField, "44x"), "Введите целое число.", FIELD(portField)},
    {"empty polling period", SET(refreshField, ""), "Введите целое число.", FIELD(refreshField)},
    {"port and period not checked",
     [](CPConfigDlg& d, const QString&) {
       d.portField->setText("0");
       d.refreshField->setText("-5");
     },
     "", nullptr},
};

class ToolDialogTest : public QObject {
  Q_OBJECT

 private:
  ScratchDir dir_;
  QString base_;
  CPConfig valid_;

 private slots:
  void initTestCase() {
    QCOMPARE(QString::fromStdString(ServerHost(1)), QString("host-a.test"));
    base_ = QString::fromStdString(dir_.path());
    valid_ = test::ValidConfig(dir_.path());
    test::WriteFile(dir_.path() + "/zel.log", "");
  }

  void saveChecks_data() {
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(kSaveCases)); ++i) QTest::newRow(kSaveCases[i].name) << i;
  }
  void saveChecks() {
    QFETCH(int, index);
    const SaveCase& c = kSaveCases[index];
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(valid_));
    c.change(dialog, base_);
    dialog.saveButton->click();
    if (!*c.message) {
      QCOMPARE(prompter.texts(), QString());
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      return;
    }
    QCOMPARE(prompter.texts(), "error: " + Q(c.message).replace("{base}", base_) + "\n");
    QCOMPARE(dialog.focusWidget(), c.focus(dialog));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
  }

  void emptyAccountListAsks() {
    for (bool yes : {false, true}) {
      RecordingPrompter prompter;
      prompter.answers = {yes};
      CPConfig config = valid_;
      config.accounts.clear();
      CPConfigDlg dialog(prompter, FormFromConfig(config));
      dialog.saveButton->click();
      QCOMPARE(prompter.texts(), QString("question: Список аккаунтов пуст. Продолжить?\n"));
      QCOMPARE(dialog.result(), int(yes ? QDialog::Accepted : QDialog::Rejected));
    }
  }

  void proxyEnabling_data() {
    QTest::addColumn<bool>("proxy");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<bool>("ad");
    // host, port and auth box; the domain box; login and password.
    QTest::addColumn<QString>("enabled");
    QTest::newRow("all off") << false << false << false << "000";
    QTest::newRow("auth without proxy") << false << true << false << "000";
    QTest::newRow("domain without proxy") << false << true << true << "000";
    QTest::newRow("proxy, no auth") << true << false << false << "100";
    QTest::newRow("proxy, domain ticked but no auth") << true << false << true << "100";
    QTest::newRow("proxy, Basic") << true << true << false << "111";
    QTest::newRow("proxy, domain") << true << true << true << "110";
  }
  void proxyEnabling() {
    QFETCH(bool, proxy);
    QFETCH(bool, auth);
    QFETCH(bool, ad);
    QFETCH(QString, enabled);
    auto state = [](CPConfigDlg& d) {
      auto bit = [](bool on) { return on ? QChar('1') : QChar('0'); };
      // Host, port and auth box go together, and so do login and password.
      bool together = d.proxyPortField->isEnabled() == d.proxyHostField->isEnabled() &&
                      d.proxyAuthBox->isEnabled() == d.proxyHostField->isEnabled() &&
                      d.proxyPasswordField->isEnabled() == d.proxyLoginField->isEnabled();
      return QString() + bit(d.proxyHostField->isEnabled()) + bit(d.proxyAdBox->isEnabled()) +
             bit(d.proxyLoginField->isEnabled()) + (together ? "" : " (not together)");
    };
    // As loaded...
    RecordingPrompter prompter;
    CPConfig config = valid_;
    config.proxy.enabled = proxy;
    config.proxy.auth = auth;
    config.proxy.ad = ad;
    CPConfigDlg loaded(prompter, FormFromConfig(config));
    QCOMPARE(state(loaded), enabled);
    // ...and by clicks, from everything off.
    CPConfigDlg clicked(prompter, FormFromConfig(valid_));
    clicked.show();
    auto click = [&](QCheckBox* box, bool on) {
      if (box->isChecked() == on) return;
      box->setEnabled(true);
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
    };
    click(clicked.proxyAdBox, ad);
    click(clicked.proxyAuthBox, auth);
    click(clicked.proxyBox, proxy);
    QCOMPARE(state(clicked), enabled);
  }

  void subdirsAndMailEnabling() {
    RecordingPrompter prompter;
    CPConfig config = valid_;
    config.paths.subdirsEnabled = false;
    config.paths.subdirsByLogin = true;
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    dialog.show();
    QVERIFY2(!dialog.byLoginBox->isChecked(), "bylogin shows ticked only with subfolders on");
    QVERIFY(!dialog.byLoginBox->isEnabled());
    QVERIFY(!dialog.smtpField->isEnabled() && !dialog.pop3Field->isEnabled());
    QTest::mouseClick(dialog.subdirsBox, Qt::LeftButton, {}, QPoint(4, 8));
    QVERIFY(dialog.byLoginBox->isEnabled());
    QTest::mouseClick(dialog.byLoginBox, Qt::LeftButton, {}, QPoint(4, 8));
    QVERIFY(dialog.byLoginBox->isChecked());
    QTest::mouseClick(dialog.subdirsBox, Qt::LeftButton, {}, QPoint(4, 8));
    QVERIFY2(!dialog.byLoginBox->isChecked() && !dialog.byLoginBox->isEnabled(), "unticking subfolders unticks it");
    QTest::mouseClick(dialog.mailBox, Qt::LeftButton, {}, QPoint(4, 8));
    QVERIFY(dialog.smtpField->isEnabled() && dialog.pop3Field->isEnabled());
    QTest::mouseClick(dialog.copyBox, Qt::LeftButton, {}, QPoint(4, 8));
    QVERIFY2(dialog.copyField->isEnabled() && dialog.copyButton->isEnabled(), "the copy box enables nothing");
    dialog.saveButton->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    CPConfig saved = ConfigFromForm(dialog.form(), config);
    QVERIFY(!saved.paths.subdirsEnabled);
    QVERIFY2(!saved.paths.subdirsByLogin, "bylogin is written off when subfolders are off");

    // A file with bylogin on but subfolders off also writes it off, untouched.
    CPConfigDlg untouched(prompter, FormFromConfig(config));
    untouched.saveButton->click();
    QVERIFY(!ConfigFromForm(untouched.form(), config).paths.subdirsByLogin);
  }

  void filledFromTheModel() {
    RecordingPrompter prompter;
    CPConfig config = valid_;
    config.paths.subdirsEnabled = true;
    config.paths.subdirsByLogin = true;
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    QCOMPARE(dialog.serverHostField->text(), Q("Велмор"));
    QVERIFY(dialog.serverHostField->isReadOnly());
    QCOMPARE(dialog.versionLabel->text(), Q("2.1.0444"));
    QCOMPARE(dialog.windowTitle(), Q("Конфигурация"));
    QVERIFY(dialog.byLoginBox->isChecked());
    QCOMPARE(dialog.portField->text(), QString("443"));
    QCOMPARE(dialog.accountsList->rowCount(), 1);
    QCOMPARE(dialog.accountsList->item(0, 0)->text(), Q("Первый"));
    QCOMPARE(dialog.accountsList->horizontalHeaderItem(2)->text(), Q("ParticipantID"));
  }

  void browsingPutsTheHeldValuesBack() {
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(valid_));
    dialog.outboundField->setText("/typed/but/not/taken");
    prompter.folders = {base_ + "/queue"};
    dialog.inboundButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Входящие|") + base_ + "/in");
    QCOMPARE(dialog.inboundField->text(), base_ + "/queue");
    QCOMPARE(dialog.outboundField->text(), base_ + "/out");
    // Cancelled: no value changes, the held values are still put back.
    dialog.badField->setText("typed");
    dialog.copyButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Копия входящих|") + base_ + "/copy");
    QCOMPARE(dialog.badField->text(), base_ + "/bad");
    // The log file: its folder and name, or the basedir when it has no folder.
    prompter.saves = {base_ + "/new.log"};
    dialog.logfileButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Лог-файл|") + base_ + "|zel.log");
    QCOMPARE(dialog.logfileField->text(), base_ + "/new.log");
    dialog.logfileField->setText("bare.log");
    dialog.saveButton->click();  // takes the values
    dialog.logfileButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Лог-файл|") + base_ + "|");
  }

  void basedirFolding_data() {
    QTest::addColumn<QString>("basedir");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("stored");
    QTest::newRow("prefix") << "/srv/Data"
                            << "/srv/Data/In"
                            << "$basedir/In";
    QTest::newRow("other letter case") << "/srv/Data"
                                       << "/srv/data/In"
                                       << "/srv/data/In";
    QTest::newRow("Cyrillic case") << "/srv/Обмен"
                                   << "/srv/обмен/in"
                                   << "/srv/обмен/in";
    QTest::newRow("Cyrillic prefix") << "/srv/Обмен"
                                     << "/srv/Обмен/in"
                                     << "$basedir/in";
    QTest::newRow("not at the start") << "/Data"
                                      << "/srv/Data/In"
                                      << "/srv/Data/In";
    QTest::newRow("a longer name") << "/srv/Data"
                                   << "/srv/Data2/In"
                                   << "$basedir2/In";
    QTest::newRow("empty basedir") << ""
                                   << "/srv/In"
                                   << "/srv/In";
  }
  void basedirFolding() {
    QFETCH(QString, basedir);
    QFETCH(QString, path);
    QFETCH(QString, stored);
    ConfigForm form = FormFromConfig(valid_);
    form.basedir = basedir;
    form.inbound = form.outbound = form.bad = form.queue = form.temp = form.logfile = form.copy = path;
    CPConfig saved = ConfigFromForm(form, valid_);
    for (const OptString* p : {&saved.paths.Inbound, &saved.paths.Outbound, &saved.paths.Bad, &saved.paths.Queue,
                               &saved.paths.Temp, &saved.paths.Logfile, &saved.paths.Copy})
      QCOMPARE(QString::fromStdString(S(*p)), stored);
    QCOMPARE(QString::fromStdString(S(saved.paths.Basedir)), basedir);
  }

  void proxyPasswordPlaceholder_data() {
    QTest::addColumn<QString>("storedLogin");  // the login the stored password was made with
    QTest::addColumn<QString>("field");        // what the password field holds at saving; "=" leaves it
    QTest::addColumn<QString>("login");        // the proxy login at saving
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("stored");  // "kept", "none", or the clear text it decrypts to with `login`
    QTest::newRow("left as the placeholder") << "user1"
                                             << "="
                                             << "user1"
                                             << "************"
                                             << "kept";
    QTest::newRow("cleared") << "user1"
                             << ""
                             << "user1"
                             << "************"
                             << "none";
    QTest::newRow("retyped") << "user1"
                             << "новый"
                             << "user1"
                             << "************"
                             << "новый";
    QTest::newRow("login changed, placeholder left") << "user1"
                                                     << "="
                                                     << "user2"
                                                     << "************"
                                                     << "kept";
    QTest::newRow("login changed, retyped") << "user1"
                                            << "p2"
                                            << "user2"
                                            << "************"
                                            << "p2";
    QTest::newRow("undecryptable") << "other"
                                   << "="
                                   << "user1"
                                   << ""
                                   << "none";
    QTest::newRow("undecryptable, retyped") << "other"
                                            << "p3"
                                            << "user1"
                                            << ""
                                            << "p3";
  }
  void proxyPasswordPlaceholder() {
    QFETCH(QString, storedLogin);
    QFETCH(QString, field);
    QFETCH(QString, login);
    QFETCH(QString, shown);
    QFETCH(QString, stored);
    CPConfig config = valid_;
    config.proxy.login = "user1";
    config.proxy.password = EncryptText(storedLogin.toStdString(), std::optional<std::string_view>("secret"));
    config.proxy.plainPassword = DecryptText(config.proxy.login, config.proxy.password);
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    QCOMPARE(dialog.proxyPasswordField->text(), shown);
    if (field != "=") dialog.proxyPasswordField->setText(field);
    dialog.proxyLoginField->setText(login);
    dialog.saveButton->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    CPConfig saved = ConfigFromForm(dialog.form(), config);
    if (stored == "kept") {
      QCOMPARE(S(saved.proxy.password), S(config.proxy.password));
      if (login != storedLogin) {
        auto clear = DecryptText(login.toStdString(), saved.proxy.password);
        QVERIFY2(!clear || clear->str() != "secret", "made with the old login, it no longer decrypts");
      }
    } else if (stored == "none") {
      QVERIFY(!saved.proxy.password);
    } else {
      auto clear = DecryptText(login.toStdString(), saved.proxy.password);
      QVERIFY(clear);
      QCOMPARE(QString::fromStdString(clear->str()), stored);
    }
  }

  void accountDialogChecks_data() {
    QTest::addColumn<QStringList>("values");  // name, id, login, password, again, timeout
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("focus");  // index into the six fields; -1: accepted
    QTest::newRow("complete") << QStringList{"Имя", "P", "l", "p", "p", "15"} << "" << -1;
    // The waiting-time field is always disabled, so it takes no focus; the check still comes first.
    QTest::newRow("waiting time not a number")
        << QStringList{"", "P", "l", "p", "x", ""} << "Введите целое число." << -2;
    QTest::newRow("no name") << QStringList{"", "P", "l", "p", "p", "15"} << "" << 0;
    QTest::newRow("no participant") << QStringList{"Имя", "", "l", "p", "p", "15"} << "" << 1;
    QTest::newRow("no login") << QStringList{"Имя", "P", "", "p", "p", "15"} << "" << 2;
    QTest::newRow("no password") << QStringList{"Имя", "P", "l", "", "", "15"} << "" << 3;
    QTest::newRow("passwords differ") << QStringList{"Имя", "P", "l", "p", "P", "15"} << "Пароли не совпадают" << 4;
    QTest::newRow("name before password") << QStringList{"", "P", "l", "p", "x", "15"} << "" << 0;
  }
  void accountDialogChecks() {
    QFETCH(QStringList, values);
    QFETCH(QString, message);
    QFETCH(int, focus);
    RecordingPrompter prompter;
    CPAccountDlg dialog(prompter, nullptr);
    QLineEdit* fields[] = {dialog.nameField,     dialog.participantIdField, dialog.loginField,
                           dialog.passwordField, dialog.passwordAgainField, dialog.timeoutField};
    QCOMPARE(dialog.timeoutField->text(), QString("15"));
    for (int i = 0; i < 6; ++i) fields[i]->setText(values[i]);
    dialog.okButton->click();
    QCOMPARE(prompter.texts(), message.isEmpty() ? QString() : "error: " + message + "\n");
    if (focus == -2) {
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
    } else if (focus < 0) {
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      CPConfigAccount account;
      dialog.applyTo(account);
      QCOMPARE(S(account.name), values[0].toStdString());
      QCOMPARE(DecryptText(account.login, account.password)->str(), values[3].toStdString());
      QCOMPARE(account.hostid, 0);
      QCOMPARE(account.timeout, 15);
    } else {
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
      QCOMPARE(dialog.focusWidget(), fields[focus]);
    }
  }

  void accountPasswordPlaceholder_data() {
    QTest::addColumn<QString>("storedLogin");
    QTest::addColumn<QString>("password");  // both fields, "=" leaves them
    QTest::addColumn<QString>("again");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("result");  // the clear text stored under `login`, or the refusal
    QTest::newRow("left") << "user1"
                          << "="
                          << "="
                          << "user1"
                          << "************"
                          << "secret";
    QTest::newRow("login changed, placeholder left") << "user1"
                                                     << "="
                                                     << "="
                                                     << "новый"
                                                     << "************"
                                                     << "secret";
    QTest::newRow("retyped") << "user1"
                             << "второй"
                             << "второй"
                             << "user1"
                             << "************"
                             << "второй";
    QTest::newRow("one retyped, one left") << "user1"
                                           << "x"
                                           << "="
                                           << "user1"
                                           << "************"
                                           << "error: Пароли не совпадают";
    QTest::newRow("undecryptable, untouched") << "other"
                                              << "="
                                              << "="
                                              << "user1"
                                              << ""
                                              << "refused";
    QTest::newRow("undecryptable, retyped") << "other"
                                            << "p"
                                            << "p"
                                            << "user1"
                                            << ""
                                            << "p";
  }
  void accountPasswordPlaceholder() {
    QFETCH(QString, storedLogin);
    QFETCH(QString, password);
    QFETCH(QString, again);
    QFETCH(QString, login);
    QFETCH(QString, shown);
    QFETCH(QString, result);
    CPConfigAccount account;
    account.name = "Имя";
    account.ParticipantID = "P";
    account.login = "user1";
    account.password = EncryptText(storedLogin.toStdString(), std::optional<std::string_view>("secret"));
    account.notify = true;
    account.phone = "+7 900";
    account.timeout = 30;
    account.hostid = 3;
    RecordingPrompter prompter;
    CPAccountDlg dialog(prompter, &account);
    QCOMPARE(dialog.passwordField->text(), shown);
    QCOMPARE(dialog.passwordAgainField->text(), shown);
    QVERIFY2(!dialog.notifyBox->isChecked() && !dialog.notifyBox->isEnabled(), "the notification is always off");
    QVERIFY(!dialog.phoneField->isEnabled() && !dialog.timeoutField->isEnabled());
    QCOMPARE(dialog.serverList->currentIndex(), 3);
    if (password != "=") dialog.passwordField->setText(password);
    if (again != "=") dialog.passwordAgainField->setText(again);
    dialog.loginField->setText(login);
    dialog.okButton->click();
    if (result.startsWith("error: ")) {
      QCOMPARE(prompter.texts(), result + "\n");
      QCOMPARE(dialog.focusWidget(), dialog.passwordAgainField);
      return;
    }
    if (result == "refused") {
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
      QCOMPARE(dialog.focusWidget(), dialog.passwordField);
      return;
    }
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    dialog.applyTo(account);
    QCOMPARE(QString::fromStdString(DecryptText(login.toStdString(), account.password)->str()), result);
    QVERIFY2(!account.notify, "saved off");
    QCOMPARE(S(account.phone), std::string("+7 900"));
    QCOMPARE(account.timeout, 30);
    QCOMPARE(account.hostid, 3);
  }

  void accountDialogServerAndTest() {
    RecordingPrompter prompter;
    CPConfigAccount account = *test::Account("a", "b", "c", 7);
    CPAccountDlg dialog(prompter, &account);
    QCOMPARE(dialog.serverList->count(), 5);
    QCOMPARE(dialog.serverList->itemText(4), QString("host-d.test"));
    QCOMPARE(dialog.serverList->currentIndex(), -1);
    dialog.testButton->click();
    QCOMPARE(prompter.texts(), QString("error: Функция СМС-оповещения недоступна\n"));
    dialog.passwordField->setText("p");
    dialog.passwordAgainField->setText("p");
    dialog.okButton->click();
    dialog.applyTo(account);
    QCOMPARE(account.hostid, 7);  // nothing chosen: kept
    CPAccountDlg again(prompter, &account);
    again.serverList->setCurrentIndex(2);
    again.passwordField->setText("p");
    again.passwordAgainField->setText("p");
    again.okButton->click();
    again.applyTo(account);
    QCOMPARE(account.hostid, 2);
  }

  void filterFoldsCyrillic_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("names");
    QTest::newRow("empty") << ""
                           << "Иванов,ПЕТРОВ,Сидоров,Ab";
    QTest::newRow("Cyrillic, upper") << "ИВ"
                                     << "Иванов";
    QTest::newRow("Cyrillic, lower, in a login") << "петр"
                                                 << "ПЕТРОВ,Сидоров";
    QTest::newRow("Latin in any case") << "ab"
                                       << "Сидоров,Ab";
    QTest::newRow("participant") << "p-3"
                                 << "Сидоров";
    QTest::newRow("nothing") << "zzz"
                             << "";
  }
  void filterFoldsCyrillic() {
    QFETCH(QString, filter);
    QFETCH(QString, names);
    RecordingPrompter prompter;
    AccountList list = {test::Account("Иванов", "ivanov", "P-1"), test::Account("ПЕТРОВ", "petrov", "P-2"),
                        test::Account("Сидоров", "Петров-AB", "P-3"), test::Account("Ab", "x", "Y")};
    CPAccountListDlg dialog(prompter, list);
    QCOMPARE(dialog.focusWidget(), dialog.filterField);
    dialog.filterField->setText(filter);
    QVERIFY(dialog.filterButton->isDefault());
    dialog.filterButton->click();
    QStringList shown;
    for (int r = 0; r < dialog.table->rowCount(); ++r) shown << dialog.table->item(r, 0)->text();
    QCOMPARE(shown.join(","), names);
  }

  void sortIsStableAndCaseInsensitive_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("order");
    QTest::newRow("name") << 0 << "а2,Б1,б3,В0,я4";
    QTest::newRow("login, equal logins keep their order") << 1 << "б3,Б1,а2,я4,В0";
    QTest::newRow("participant") << 2 << "В0,Б1,а2,б3,я4";
    // host-c (row 0), host-a (1), host-e (2), host-b (3), host-d (4); hostid 9 shows row 0.
    QTest::newRow("server by host name") << 3 << "Б1,я4,В0,б3,а2";
  }
  void sortIsStableAndCaseInsensitive() {
    QFETCH(int, column);
    QFETCH(QString, order);
    RecordingPrompter prompter;
    AccountList list = {test::Account("В0", "Ю", "01", 9), test::Account("Б1", "б", "1", 1),
                        test::Account("а2", "Б", "2", 2), test::Account("б3", "а", "3", 4),
                        test::Account("я4", "в", "4", 3)};
    CPAccountListDlg dialog(prompter, list);
    QCOMPARE(dialog.table->item(0, 3)->text(), QString("host-c.test"));
    dialog.sortByColumn(column);
    dialog.sortByColumn(column);  // no descending order: the same again
    QStringList shown;
    for (int r = 0; r < dialog.table->rowCount(); ++r) shown << dialog.table->item(r, 0)->text();
    QCOMPARE(shown.join(","), order);
    // Clicking the header sorts too.
    CPAccountListDlg clicked(prompter, list);
    emit clicked.table->horizontalHeader()->sectionClicked(column);
    QCOMPARE(clicked.table->item(0, 0)->text(), order.section(',', 0, 0));
  }

  void listDialogAddEditDelete() {
    RecordingPrompter prompter;
    AccountList original = {test::Account("Иванов", "ivanov", "P-1"), test::Account("Петров", "petrov", "P-2")};
    CPAccountListDlg dialog(prompter, original);
    dialog.filterField->setText("петр");
    dialog.filterButton->click();
    QCOMPARE(dialog.table->rowCount(), 1);
    // Added while filtered: shown at the end even though it does not match.
    dialog.runDialog = [](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      a.nameField->setText("Новый");
      a.participantIdField->setText("N");
      a.loginField->setText("new");
      a.passwordField->setText("p");
      a.passwordAgainField->setText("p");
      a.okButton->click();
      return a.result();
    };
    dialog.addButton->click();
    QCOMPARE(dialog.table->rowCount(), 2);
    QCOMPARE(dialog.table->item(1, 0)->text(), Q("Новый"));
    QVERIFY(dialog.changed());
    dialog.filterButton->click();
    QCOMPARE(dialog.table->rowCount(), 1);
    // Edit the row shown: the row is rewritten.
    dialog.table->selectRow(0);
    dialog.runDialog = [](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      a.nameField->setText("Петров-Водкин");
      a.passwordField->setText("p");
      a.passwordAgainField->setText("p");
      a.okButton->click();
      return a.result();
    };
    dialog.editButton->click();
    QCOMPARE(dialog.table->item(0, 0)->text(), Q("Петров-Водкин"));
    // Delete asks with the name; No keeps it, Yes removes it.
    prompter.answers = {false, true};
    dialog.table->selectRow(0);
    dialog.deleteButton->click();
    QCOMPARE(dialog.table->rowCount(), 1);
    dialog.table->selectRow(0);
    dialog.deleteButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Вы действительно хотите удалить аккаунт Петров-Водкин?"));
    QCOMPARE(dialog.table->rowCount(), 0);
    QCOMPARE(dialog.accounts().size(), size_t(2));
    // The originals never changed.
    QCOMPARE(S(original[1]->name), std::string("Петров"));
  }

  void closingTheListWithoutApplyingChangesNothing_data() {
    QTest::addColumn<bool>("apply");
    QTest::newRow("closed") << false;
    QTest::newRow("applied") << true;
  }
  void closingTheListWithoutApplyingChangesNothing() {
    QFETCH(bool, apply);
    RecordingPrompter prompter;
    CPConfig config = valid_;
    config.accounts.push_back(test::Account("Второй", "two", "P2"));
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    dialog.runDialog = [apply](QDialog& d) {
      auto& list = static_cast<CPAccountListDlg&>(d);
      list.runDialog = [](QDialog& inner) {
        auto& a = static_cast<CPAccountDlg&>(inner);
        a.loginField->setText("changed");
        a.okButton->click();
        return a.result();
      };
      list.table->selectRow(0);
      list.editButton->click();
      list.table->selectRow(1);
      list.deleteButton->click();
      if (apply)
        list.applyButton->click();
      else
        list.reject();
      return list.result();
    };
    emit dialog.accountsList->cellDoubleClicked(0, 0);
    const auto& accounts = dialog.form().accounts;
    if (apply) {
      QCOMPARE(accounts.size(), size_t(1));
      QCOMPARE(S(accounts[0]->login), std::string("changed"));
      QCOMPARE(dialog.accountsList->rowCount(), 1);
    } else {
      QCOMPARE(accounts.size(), size_t(2));
      QCOMPARE(S(accounts[0]->login), std::string("user1"));
      QCOMPARE(dialog.accountsList->rowCount(), 2);
    }
  }

  void mainDialogAddEditDelete() {
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(valid_));
    dialog.editButton->click();  // nothing selected: nothing happens
    dialog.deleteButton->click();
    QCOMPARE(prompter.texts(), QString());
    dialog.runDialog = [](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      a.nameField->setText("Иванов");
      a.participantIdField->setText("P-9");
      a.loginField->setText("Иванов");
      a.passwordField->setText("пароль-Пароль");
      a.passwordAgainField->setText("пароль-Пароль");
      a.serverList->setCurrentIndex(1);
      a.okButton->click();
      return a.result();
    };
    dialog.addButton->click();
    QCOMPARE(dialog.accountsList->rowCount(), 2);
    const auto& added = dialog.form().accounts.back();
    QCOMPARE(S(added->password), std::string("aEAXFtJ9Be9BYfrsdi4BClpMQPCZEjMZkJOIYnsbhgE="));
    QCOMPARE(added->hostid, 1);
    QCOMPARE(added->timeout, 15);
    // Edit finds the account by name, without regard to case.
    dialog.accountsList->item(1, 0)->setText("ИВАНОВ");
    dialog.accountsList->selectRow(1);
    dialog.runDialog = [](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      a.participantIdField->setText("P-10");
      a.okButton->click();
      return a.result();
    };
    dialog.editButton->click();
    QCOMPARE(S(added->ParticipantID), std::string("P-10"));
    QCOMPARE(dialog.accountsList->item(1, 2)->text(), QString("P-10"));
    QCOMPARE(S(added->password), std::string("aEAXFtJ9Be9BYfrsdi4BClpMQPCZEjMZkJOIYnsbhgE="));
    // Cancelled edit: nothing changes.
    dialog.accountsList->selectRow(1);
    dialog.runDialog = [](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      a.participantIdField->setText("lost");
      a.reject();
      return a.result();
    };
    dialog.editButton->click();
    QCOMPARE(S(added->ParticipantID), std::string("P-10"));
    prompter.answers = {false, true};
    dialog.accountsList->selectRow(1);
    dialog.deleteButton->click();
    QCOMPARE(dialog.form().accounts.size(), size_t(2));
    dialog.deleteButton->click();
    QCOMPARE(prompter.shown.back().text, Q("Вы действительно хотите удалить аккаунт Иванов?"));
    QCOMPARE(prompter.shown.back().kind, QString("question"));
    QCOMPARE(dialog.form().accounts.size(), size_t(1));
    QCOMPARE(dialog.accountsList->rowCount(), 1);
  }

  void twoAccountsWithTheSameName() {
    RecordingPrompter prompter;
    CPConfig config = valid_;
    config.accounts = {test::Account("Двойник", "first", "P1"), test::Account("двойник", "second", "P2")};
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    dialog.accountsList->selectRow(1);
    QString opened;
    dialog.runDialog = [&opened](QDialog& d) {
      auto& a = static_cast<CPAccountDlg&>(d);
      opened = a.loginField->text();
      return int(QDialog::Rejected);
    };
    dialog.editButton->click();
    QCOMPARE(opened, QString("first"));
    dialog.accountsList->selectRow(1);
    dialog.deleteButton->click();
    QCOMPARE(dialog.form().accounts.size(), size_t(1));
    QCOMPARE(S(dialog.form().accounts[0]->login), std::string("second"));
    QCOMPARE(dialog.accountsList->item(0, 1)->text(), QString("second"));  // the rows show what is left
  }

  void locateAndLoad() {
    QCOMPARE(LocateConfig(std::nullopt).problem, QString("Cannot get default directory"));
    QCOMPARE(LocateConfig(std::string("zel-config")).problem, QString("Got wrong default directory"));
    QCOMPARE(LocateConfig(std::string("/opt/zel/zel-config")).path, std::string("/opt/zel/config.xml"));
    QCOMPARE(LocateConfig(std::string("/usr/bin/zel-config")).path, std::string("/etc/zel/config.xml"));
    ScratchDir dir;
    const std::string missing = dir.path() + "/config.xml";
    CPConfig config;
    QCOMPARE(LoadForTool(config, missing), QString::fromStdString("Cannot open config file " + missing));
    QVERIFY2(!fs::exists(missing), "the tool never creates the file");
    test::WriteFile(missing, "<config><Basedir path=\"x\"></config>");
    QString problem = LoadForTool(config, missing);
    QVERIFY2(problem.startsWith(QString::fromStdString("Unable to parse config file " + missing + "\n")),
             qPrintable(problem));
    QVERIFY(problem.size() > int(("Unable to parse config file " + missing + "\n").size()));
  }

  void wholeRun();
  void saveFailureLeavesTheServiceAlone();
};

// Records the calls of the restart and answers with the given codes.
class FakeServiceManager : public ServiceManager {
 public:
  FakeServiceManager(std::vector<std::string>* calls, int connectCode, int openCode, int startCode)
      : calls_(calls), connect_(connectCode), open_(openCode), start_(startCode) {}
  int connect() override {
    calls_->push_back("connect");
    return connect_;
  }
  int openService(const std::string& name) override {
    calls_->push_back("open " + name);
    return open_;
  }
  int stop() override {
    calls_->push_back("stop");
    return EINVAL;  // refused, as for a service that is not running
  }
  void sleep(int ms) override { calls_->push_back("sleep " + std::to_string(ms)); }
  int start() override {
    calls_->push_back("start");
    return start_;
  }

 private:
  std::vector<std::string>* calls_;
  int connect_, open_, start_;
};

void ToolDialogTest::wholeRun() {
  struct Case {
    const char* name;
    int connect, open, start;
    const char* calls;
    const char* box;
  };
  const Case cases[] = {
      {"restarted", 0, 0, 0, "connect,open CarvossService,stop,sleep 3000,start", ""},
      {"no manager", 2, 0, 0, "connect", "error: OpenSCManager failed, error 2\n\n"},
      {"no service", 0, 2, 0, "connect,open CarvossService", "error: OpenService failed, error 2\n\n"},
      {"start fails", 0, 0, 5, "connect,open CarvossService,stop,sleep 3000,start",
       "error: StartService failed, error 5\n\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string path = dir.path() + "/config.xml";
    CPConfig original = test::ValidConfig(dir.path());
    original.proxy.login = "proxy";
    original.proxy.password = EncryptText(std::string("proxy"), std::optional<std::string_view>("старый"));
    original.messages.resize(1);
    QVERIFY(WriteConfigFile(original, path, nullptr));
    ::chmod(path.c_str(), 0644);
    if (::geteuid() == 0) QCOMPARE(::chown(path.c_str(), 65534, 65534), 0);

    RecordingPrompter prompter;
    std::vector<std::string> calls;
    ToolHooks hooks;
    hooks.runDialog = [&](CPConfigDlg& d) {
      d.inboundField->setText(QString::fromStdString(dir.path()) + "/out");
      d.subdirsBox->setChecked(true);
      d.byLoginBox->setChecked(true);
      d.proxyBox->setChecked(true);
      d.proxyHostField->setText("прокси.local");
      d.proxyPortField->setText("3128");
      d.runDialog = [](QDialog& a) {
        auto& account = static_cast<CPAccountDlg&>(a);
        account.nameField->setText("Иванов & \"сын\"");
        account.participantIdField->setText("P-9");
        account.loginField->setText("Иванов");
        account.passwordField->setText("пароль-Пароль");
        account.passwordAgainField->setText("пароль-Пароль");
        account.okButton->click();
        return account.result();
      };
      d.addButton->click();
      d.saveButton->click();
      return d.result();
    };
    hooks.serviceManager = [&] { return std::make_unique<FakeServiceManager>(&calls, c.connect, c.open, c.start); };
    QCOMPARE(RunConfigTool(prompter, path, hooks), 0);
    QCOMPARE(QString::fromStdString(Join(calls)), QString(c.calls));
    QCOMPARE(prompter.texts(), QString(c.box));

    // The service's reader sees the same meaning.
    CPConfig read;
    QCOMPARE(LoadConfig(read, path), 0);
    QCOMPARE(S(read.paths.Inbound), dir.path() + "/out");
    QVERIFY(test::ReadFile(path).find("<Inbound path=\"$basedir/out\" />") != std::string::npos);
    QVERIFY(read.paths.subdirsEnabled && read.paths.subdirsByLogin);
    QCOMPARE(S(read.proxy.host), std::string("прокси.local"));
    QCOMPARE(read.proxy.port, uint16_t(3128));
    QCOMPARE(read.proxy.plainPassword->str(), std::string("старый"));
    QCOMPARE(read.accounts.size(), size_t(2));
    QCOMPARE(read.accounts[0]->plainPassword->str(), std::string("secret"));
    QCOMPARE(S(read.accounts[1]->name), std::string("Иванов & \"сын\""));
    QCOMPARE(read.accounts[1]->plainPassword->str(), std::string("пароль-Пароль"));
    QCOMPARE(S(read.accounts[1]->password), std::string("aEAXFtJ9Be9BYfrsdi4BClpMQPCZEjMZkJOIYnsbhgE="));
    QCOMPARE(read.messages.size(), size_t(1));
    QCOMPARE(S(read.messages[0]->type), std::string("CMN.00001"));
    QCOMPARE(read.server.port, uint16_t(443));
    QCOMPARE(S(read.server.post), std::string("/EDAP/send.php"));
    struct stat st {};
    QCOMPARE(::stat(path.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 077), 0);
    if (::geteuid() == 0) QCOMPARE(int(st.st_uid), 65534);
  }
}

void ToolDialogTest::saveFailureLeavesTheServiceAlone() {
  ScratchDir dir;
  const std::string folder = dir.path() + "/conf";
  fs::create_directories(folder);
  const std::string path = folder + "/config.xml";
  QVERIFY(WriteConfigFile(test::ValidConfig(dir.path()), path, nullptr));
  RecordingPrompter prompter;
  bool restarted = false;
  ToolHooks hooks;
  hooks.runDialog = [&](CPConfigDlg& d) {
    fs::remove_all(folder);  // gone while the dialog was open
    d.saveButton->click();
    return d.result();
  };
  hooks.serviceManager = [&]() -> std::unique_ptr<ServiceManager> {
    restarted = true;
    return nullptr;
  };
  QCOMPARE(RunConfigTool(prompter, path, hooks), 1);
  QVERIFY(!restarted);
  QCOMPARE(prompter.texts(), QString::fromStdString("error: Не удалось записать файл конфигурации " + path +
                                                    ":\nNo such file or directory\n"));
  // Cancelled: nothing written, nothing restarted.
  fs::create_directories(folder);
  QVERIFY(WriteConfigFile(test::ValidConfig(dir.path()), path, nullptr));
  const std::string before = test::ReadFile(path);
  hooks.runDialog = [](CPConfigDlg& d) {
    d.basedirField->setText("/elsewhere");
    d.reject();
    return d.result();
  };
  QCOMPARE(RunConfigTool(prompter, path, hooks), 0);
  QVERIFY(!restarted);
  QCOMPARE(test::ReadFile(path), before);
}

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("ZEL_SERVER_HOSTS", zel::kHosts, 1);
  QApplication app(argc, argv);
  zel::ToolDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ToolDialogTest.moc"
