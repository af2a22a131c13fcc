// The values the main dialog holds, and the two mappings between them and the configuration
// model: FormFromConfig fills a form from the loaded model (the fixed host text, the bylogin and
// proxy password placeholder rules); ConfigFromForm builds the fresh model that is saved ("$basedir"
// folded back into the paths, passwords encrypted, the message list carried over).
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "config/CPConfig.h"

namespace zel {

struct ConfigForm {
  QString basedir, inbound, outbound, bad, queue, temp, logfile, copy;
  bool subdirs = false, byLogin = false, copyEnabled = false;
  QString serverHost;
  int32_t port = 0, refresh = 60;
  QString list, get, post, remove;
  bool compression = false, textMessage = false;
  bool proxyEnabled = false, proxyAuth = false, proxyAd = false;
  QString proxyHost;
  int32_t proxyPort = 0;
  QString proxyLogin, proxyPassword;
  OptString storedProxyPassword;  // the encrypted proxy password, kept aside behind the placeholder
  bool mailEnabled = false;
  uint16_t smtpPort = 25, pop3Port = 110;
  std::vector<std::shared_ptr<CPConfigAccount>> accounts;
};

ConfigForm FormFromConfig(const CPConfig& config);
CPConfig ConfigFromForm(const ConfigForm& form, const CPConfig& loaded);

// "$basedir" in place of a leading, exactly spelled basedir.
QString FoldBasedir(const QString& path, const QString& basedir);

// The proxy password a connection test uses: the typed one, or the stored one decrypted.
OptSecret ProxyPasswordOf(const ConfigForm& form);

}  // namespace zel
