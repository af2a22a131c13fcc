#include "tool/ConfigForm.h"

#include "config/PasswordCipher.h"
#include "tool/CPAccountDlg.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

QString Q(const OptString& text) { return text ? QString::fromStdString(*text) : QString(); }
std::string U(const QString& text) { return text.toStdString(); }
OptString NonEmpty(const QString& text) { return text.isEmpty() ? OptString() : OptString(U(text)); }
bool IsPlaceholder(const QString& text) { return text == QString::fromUtf8(texts::kPlaceholder); }

}  // namespace

QString FoldBasedir(const QString& path, const QString& basedir) {
  if (!basedir.isEmpty() && path.startsWith(basedir, Qt::CaseSensitive))
    return QStringLiteral("$basedir") + path.mid(basedir.size());
  return path;
}

ConfigForm FormFromConfig(const CPConfig& config) {
  ConfigForm f;
  const CPConfigPaths& p = config.paths;
  f.basedir = Q(p.Basedir);
  f.inbound = Q(p.Inbound);
  f.outbound = Q(p.Outbound);
  f.bad = Q(p.Bad);
  f.queue = Q(p.Queue);
  f.temp = Q(p.Temp);
  f.logfile = Q(p.Logfile);
  f.copy = Q(p.Copy);
  f.copyEnabled = p.copyEnabled;
  f.subdirs = p.subdirsEnabled;
  f.byLogin = p.subdirsEnabled && p.subdirsByLogin;
  f.serverHost = QString::fromUtf8(texts::kServerHostShown);
  f.port = config.server.port;
  f.refresh = config.server.refresh;
  f.list = Q(config.server.list);
  f.get = Q(config.server.get);
  f.post = Q(config.server.post);
  f.remove = Q(config.server.remove);
  f.compression = config.server.compression;
  f.textMessage = config.server.textmessage;
  const CPConfigProxy& x = config.proxy;
  f.proxyEnabled = x.enabled;
  f.proxyAuth = x.auth;
  f.proxyAd = x.ad;
  f.proxyHost = Q(x.host);
  f.proxyPort = x.port;
  f.proxyLogin = Q(x.login);
  if (x.plainPassword) {
    f.proxyPassword = QString::fromUtf8(texts::kPlaceholder);
    f.storedProxyPassword = x.password;
  }
  f.mailEnabled = config.mailserver.enabled;
  f.smtpPort = config.mailserver.smtp_port;
  f.pop3Port = config.mailserver.pop3_port;
  f.accounts = CopyAccounts(config.accounts);
  return f;
}

CPConfig ConfigFromForm(const ConfigForm& f, const CPConfig& loaded) {
  CPConfig c;
  CPConfigPaths& p = c.paths;
  p.Basedir = U(f.basedir);
  auto folded = [&](const QString& path) { return U(FoldBasedir(path, f.basedir)); };
  p.Inbound = folded(f.inbound);
  p.Outbound = folded(f.outbound);
  p.Bad = folded(f.bad);
  p.Queue = folded(f.queue);
  p.Temp = folded(f.temp);
  p.Logfile = folded(f.logfile);
  p.Copy = folded(f.copy);
  p.copyEnabled = f.copyEnabled;
  p.subdirsEnabled = f.subdirs;
  p.subdirsByLogin = f.subdirs && f.byLogin;
  c.accounts = f.accounts;

  CPConfigServer& s = c.server;
  s.port = uint16_t(f.port);
  s.refresh = f.refresh;
  s.list = U(f.list);
  s.get = U(f.get);
  s.post = U(f.post);
  s.remove = U(f.remove);
  s.textmessage = f.textMessage;
  s.compression = f.compression;

  CPConfigProxy& x = c.proxy;
  x.enabled = f.proxyEnabled;
  x.auth = f.proxyAuth;
  x.ad = f.proxyAd;
  x.host = NonEmpty(f.proxyHost);
  x.port = uint16_t(f.proxyPort);
  x.login = NonEmpty(f.proxyLogin);
  if (IsPlaceholder(f.proxyPassword)) {
    x.password = f.storedProxyPassword;
  } else if (!f.proxyPassword.isEmpty()) {
    SecretString typed(U(f.proxyPassword));
    x.password = EncryptText(x.login, std::optional<std::string_view>(typed.view()));
    x.plainPassword = std::move(typed);
  }

  c.mailserver.enabled = f.mailEnabled;
  c.mailserver.smtp_port = f.smtpPort;
  c.mailserver.pop3_port = f.pop3Port;
  c.messages = loaded.messages;
  return c;
}

OptSecret ProxyPasswordOf(const ConfigForm& f) {
  if (!f.proxyPassword.isEmpty() && !IsPlaceholder(f.proxyPassword)) return SecretString(U(f.proxyPassword));
  return DecryptText(NonEmpty(f.proxyLogin), f.storedProxyPassword);
}

}  // namespace zel
