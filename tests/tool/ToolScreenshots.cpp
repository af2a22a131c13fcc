// Screenshots of zel-config in a real X server: the main dialog, the account dialog, the account
// list with Cyrillic accounts, one error box and one question box, each saved as a PNG in the
// folder given. Run by scripts/tool-screenshots.sh under Xvfb.
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <thread>

#include "config/PasswordCipher.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/CPAccountDlg.h"
#include "tool/CPAccountListDlg.h"
#include "tool/CPConfigDlg.h"
#include "tool/ConfigForm.h"
#include "tool/Prompter.h"
#include "tool/ToolTexts.h"

namespace {

using namespace zel;

// Shows the window at a fixed place, lets the X server draw it, and saves what the screen holds.
bool Shoot(QWidget& window, const QString& file) {
  window.move(24, 24);
  window.show();
  window.raise();
  window.activateWindow();
  for (int i = 0; i < 30; ++i) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  QRect frame = window.frameGeometry();
  QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  bool saved = shot.save(file, "PNG");
  std::printf("%s %dx%d %s\n", qPrintable(file), frame.width(), frame.height(), saved ? "saved" : "NOT SAVED");
  window.hide();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  LoadQtRussianTexts(app);
  if (argc < 2) return 2;
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  test::ScratchDir dir;
  CPConfig config = test::ValidConfig(dir.path());
  config.paths.Basedir = "/var/lib/zel";
  config.paths.Inbound = "/var/lib/zel/входящие";
  config.paths.Outbound = "/var/lib/zel/исходящие";
  config.paths.Bad = "/var/lib/zel/bad";
  config.paths.Queue = "/var/lib/zel/queue";
  config.paths.Temp = "/var/lib/zel/temp";
  config.paths.Logfile = "/var/lib/zel/log/zel.log";
  config.paths.Copy = "/var/lib/zel/копия";
  config.paths.subdirsEnabled = true;
  config.paths.subdirsByLogin = true;
  config.proxy.enabled = true;
  config.proxy.auth = true;
  config.proxy.host = "proxy.local";
  config.proxy.port = 3128;
  config.proxy.login = "Иванов";
  config.proxy.password = EncryptText(config.proxy.login, std::optional<std::string_view>("пароль"));
  config.proxy.plainPassword = DecryptText(config.proxy.login, config.proxy.password);
  config.mailserver.enabled = true;
  config.accounts = {test::Account("ООО «Северный терминал»", "sever-term", "RU-7701234567", 0),
                     test::Account("Иванов и партнёры", "ivanov", "RU-7812345678", 1),
                     test::Account("Таможенный брокер Восток", "vostok.broker", "RU-2534567890", 2),
                     test::Account("Ёлкин", "elkin", "RU-5401122334", 4)};
  config.accounts[1]->password = EncryptText(config.accounts[1]->login, std::optional<std::string_view>("секрет"));
  config.accounts[1]->phone = "+7 812 555-01-02";

  test::RecordingPrompter prompter;
  bool ok = true;
  {
    CPConfigDlg dialog(prompter, FormFromConfig(config));
    dialog.accountsList->selectRow(1);
    ok &= Shoot(dialog, out + "/main-dialog.png");
  }
  {
    CPAccountDlg dialog(prompter, config.accounts[1].get());
    ok &= Shoot(dialog, out + "/account-dialog.png");
  }
  {
    CPAccountListDlg dialog(prompter, config.accounts);
    dialog.sortByColumn(0);
    dialog.table->selectRow(0);
    ok &= Shoot(dialog, out + "/account-list.png");
  }
  {
    auto box = MakeMessageBox(
        nullptr, QMessageBox::Critical,
        QString::fromUtf8(texts::kNoFolder).arg("/var/lib/zel/входящие", QString::fromUtf8(texts::kInbound)));
    ok &= Shoot(*box, out + "/error-box.png");
  }
  {
    auto box = MakeMessageBox(nullptr, QMessageBox::Question,
                              QString::fromUtf8(texts::kDeleteAccount).arg("Иванов и партнёры"));
    ok &= Shoot(*box, out + "/question-box.png");
  }
  return ok ? 0 : 1;
}
