// "Проверить соединение" against real peers: the test exchange server with a trusted, an untrusted
// and a wrongly named certificate, a port nobody listens on, an unreachable proxy, and tinyproxy
// with and without Basic authentication (the stored proxy password decrypted with its login).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <thread>

#include "config/PasswordCipher.h"
#include "tests/ChildProcess.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/CPConfigDlg.h"
#include "tool/ConfigForm.h"

namespace zel {
namespace {

using test::RecordingPrompter;
using test::ScratchDir;

std::string Pki(const std::string& name) { return std::string(ZEL_BINARY_DIR) + "/pki/" + name; }

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  socklen_t len = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  close(fd);
  return ntohs(at.sin_port);
}

bool WaitForPort(uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The test exchange server with one certificate.
class ExchangeServer {
 public:
  explicit ExchangeServer(const std::string& cert)
      : process_({std::string(ZEL_BINARY_DIR) + "/testing/exchange_server", "--cert", Pki(cert + ".pem"), "--key",
                  Pki(cert + "-key.pem"), "--port-file", dir_ / "port", "--accounts", dir_ / "accounts", "--mailboxes",
                  dir_ / "mail"},
                 {}, dir_ / "out.txt") {
    for (int i = 0; i < 1000 && test::ReadFile(dir_ / "port").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    port_ = uint16_t(std::atoi(test::ReadFile(dir_ / "port").c_str()));
  }
  uint16_t port() const { return port_; }

 private:
  ScratchDir dir_;
  test::ChildProcess process_;
  uint16_t port_ = 0;
};

class Tinyproxy {
 public:
  explicit Tinyproxy(const std::string& extra) : port_(FreePort()) {
    test::WriteFile(dir_ / "tinyproxy.conf", "User nobody\nGroup nogroup\nPort " + std::to_string(port_) +
                                                 "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Critical\n" +
                                                 extra);
    process_ = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir_ / "tinyproxy.conf"}, std::vector<std::string>{},
        dir_ / "out.txt");
    up_ = WaitForPort(port_);
  }
  uint16_t port() const { return port_; }
  bool up() const { return up_; }

 private:
  ScratchDir dir_;
  uint16_t port_;
  std::unique_ptr<test::ChildProcess> process_;
  bool up_ = false;
};

class ToolConnectionTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<ExchangeServer> good_, untrusted_, wrongName_;
  std::unique_ptr<Tinyproxy> open_, basic_;
  ScratchDir dir_;

  // Runs the test from a dialog holding `config` after `change`; the boxes it showed.
  QString run(CPConfig config, const std::function<void(CPConfigDlg&)>& change = {}) {
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    if (change) change(dialog);
    dialog.testButton->click();
    QApplication::processEvents();
    return prompter.texts();
  }

  CPConfig configFor(uint16_t port) {
    CPConfig c = test::ValidConfig(dir_.path());
    c.server.port = port;
    return c;
  }

  static void proxy(CPConfig& c, uint16_t port, const char* login = nullptr, const char* password = nullptr) {
    c.proxy.enabled = true;
    c.proxy.host = "127.0.0.1";
    c.proxy.port = port;
    if (login) {
      c.proxy.auth = true;
      c.proxy.login = login;
      c.proxy.password = EncryptText(c.proxy.login, std::optional<std::string_view>(password));
      c.proxy.plainPassword = DecryptText(c.proxy.login, c.proxy.password);
    }
  }

 private slots:
  void initTestCase() {
    good_ = std::make_unique<ExchangeServer>("good");
    untrusted_ = std::make_unique<ExchangeServer>("untrusted");
    wrongName_ = std::make_unique<ExchangeServer>("wrongname");
    QVERIFY(good_->port() && untrusted_->port() && wrongName_->port());
    if (access("/usr/bin/tinyproxy", X_OK) == 0) {
      open_ = std::make_unique<Tinyproxy>("");
      basic_ = std::make_unique<Tinyproxy>("BasicAuth zel s3cret\n");
    }
  }

  void trustedCertificate() {
    QCOMPARE(run(configFor(good_->port())), QString("information: Соединение успешно установлено\n"));
  }
  void untrustedCertificate() {
    QCOMPARE(run(configFor(untrusted_->port())), QString("error: Ошибка SSL соединения с сервером\n"));
  }
  void certificateForAnotherName() {
    QCOMPARE(run(configFor(wrongName_->port())), QString("error: Ошибка SSL соединения с сервером\n"));
  }
  void nothingListening() { QCOMPARE(run(configFor(FreePort())), QString("error: Ошибка соединения с сервером\n")); }
  void proxyUnreachable() {
    CPConfig c = configFor(good_->port());
    proxy(c, FreePort());
    QCOMPARE(run(c), QString("error: Ошибка соединения с сервером\n"));
  }
  void throughTinyproxy() {
    if (!open_) QSKIP("tinyproxy is not installed");
    QVERIFY(open_->up());
    CPConfig c = configFor(good_->port());
    proxy(c, open_->port());
    QCOMPARE(run(c), QString("information: Соединение успешно установлено\n"));
  }
  void throughTinyproxyWithTheStoredPassword() {
    if (!basic_) QSKIP("tinyproxy is not installed");
    QVERIFY(basic_->up());
    CPConfig c = configFor(good_->port());
    proxy(c, basic_->port(), "zel", "s3cret");
    QCOMPARE(run(c), QString("information: Соединение успешно установлено\n"));
    // A wrong password typed over the placeholder is used as typed.
    QCOMPARE(run(c, [](CPConfigDlg& d) { d.proxyPasswordField->setText("wrong"); }),
             QString("error: Ошибка соединения с сервером\n"));
  }
  void lettersInThePortTestTheHeldPort() {
    QCOMPARE(run(configFor(good_->port()), [](CPConfigDlg& d) { d.portField->setText("44x"); }),
             QString("error: Введите целое число.\ninformation: Соединение успешно установлено\n"));
  }
  void waitCursorWhileItRuns() {
    RecordingPrompter prompter;
    CPConfigDlg dialog(prompter, FormFromConfig(configFor(good_->port())));
    std::optional<Qt::CursorShape> during;
    dialog.hostCache().resolve = [&](const std::string&, int*) -> std::optional<std::vector<uint32_t>> {
      if (QApplication::overrideCursor()) during = QApplication::overrideCursor()->shape();
      return std::vector<uint32_t>{htonl(INADDR_LOOPBACK)};
    };
    dialog.testButton->click();
    QCOMPARE(prompter.texts(), QString("information: Соединение успешно установлено\n"));
    QVERIFY(during.has_value());
    QCOMPARE(*during, Qt::WaitCursor);
    QVERIFY2(!QApplication::overrideCursor(), "restored before the box");
  }
  void checksBeforeConnecting() {
    QCOMPARE(run(configFor(good_->port()), [](CPConfigDlg& d) { d.getField->setText(""); }),
             QString("error: Неверное значение поля Сервер - Получение файла\n"));
    CPConfig c = configFor(good_->port());
    proxy(c, 0);
    QCOMPARE(run(c), QString("error: Неверное значение поля Прокси - Порт\n"));
  }
};

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("ZEL_SERVER_HOSTS", "localhost,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1", 1);
  setenv("SSL_CERT_FILE", (std::string(ZEL_BINARY_DIR) + "/pki/ca.pem").c_str(), 1);
  QApplication app(argc, argv);
  zel::ToolConnectionTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ToolConnectionTest.moc"
