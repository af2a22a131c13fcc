#include "config/ConfigBackup.h"

#include <cstdlib>
#include <optional>
#include <utility>

#include "aslib/ASDeflate.h"
#include "aslib/ASInflate.h"
#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "config/PasswordCipher.h"
#include "platform/BackupStore.h"
#include "platform/Files.h"

namespace zel {
namespace {

// The key of the backup, enciphered under the backup passphrase: the state folder
// "/var/lib/CarvossService" on Linux, the registry key "SOFTWARE\Velmor\CarvossService" under
// HKEY_LOCAL_MACHINE on Windows; and the value's name, "config.backup".
#ifdef _WIN32
constexpr const char* kBackupKey = "QKxD1JJ/eTfYKpnrkQYlaip5wSNZV0aCx9Vsj9Z9WPU=";
#else
constexpr const char* kBackupKey = "dYnJ+fF5XOROpMC62zHS4Rq2pkUulQww";
#endif
constexpr const char* kBackupName = "1mkYD3sLCPisc8v9faTk5A==";

constexpr int kRawDeflate = 3;

std::string Passphrase() { return std::string(BackupPassphrase()); }

// The key and the value's name, or none when they cannot be deciphered.
std::optional<std::pair<std::string, std::string>> Where() {
  const char* redirected = std::getenv("ZEL_STATE_DIR");
  OptSecret key = redirected && *redirected ? OptSecret(SecretString(redirected))
                                            : DecryptText(Passphrase(), std::string(kBackupKey));
  OptSecret name = DecryptText(Passphrase(), std::string(kBackupName));
  if (!key || !name) return std::nullopt;
  return std::make_pair(key->str(), name->str());
}

}  // namespace

std::string BackupKey() {
  auto where = Where();
  return where ? where->first : std::string();
}

std::string BackupLocation() {
  auto where = Where();
  return where ? where->first + "/" + where->second : std::string();
}

void BackupConfig(const CPConfig& config) {
  const auto where = Where();
  if (!where) return;
  ASVariableBuffer text, packed;
  WriteConfig(config, text);
  if (!DeflateBuffer(kRawDeflate, &text, &packed, 32768)) return;
  std::optional<std::string> sealed = EncryptBlob(packed.unreadBytes());
  if (!sealed) return;
  // The key is the installation's; without it nothing is stored.
  StoreBackupValue(where->first, where->second, *sealed);
}

bool RestoreConfig(const std::string& path) {
  const auto where = Where();
  if (!where) return false;
  std::optional<std::string> sealed = LoadBackupValue(where->first, where->second);
  if (!sealed) return false;
  std::optional<std::string> packed = DecryptBlob(*sealed);
  if (!packed || packed->empty()) return false;
  ASInflate inflater(kRawDeflate);
  ASVariableBuffer text;
  // Only a whole stream is a configuration: a cut-short one would restore half a file.
  if (!inflater.inflateInto(packed->data(), int64_t(packed->size()), &text) || !inflater.finished() ||
      text.length() == 0)
    return false;
  int error = 0;
  return WriteFileAtomically(path, text.unreadBytes(), &error, FileAccess::kOwnerOnly);
}

}  // namespace zel
