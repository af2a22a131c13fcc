#include "config/ConfigBackup.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "aslib/ASDeflate.h"
#include "aslib/ASInflate.h"
#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "config/PasswordCipher.h"
#include "platform/Files.h"

namespace zel {
namespace {

// "/var/lib/CarvossService" and "config.backup", enciphered under the backup passphrase.
constexpr const char* kStateFolder = "dYnJ+fF5XOROpMC62zHS4Rq2pkUulQww";
constexpr const char* kBackupName = "1mkYD3sLCPisc8v9faTk5A==";

constexpr int kRawDeflate = 3;

std::string Passphrase() { return std::string(BackupPassphrase()); }

}  // namespace

std::string BackupLocation() {
  const char* redirected = std::getenv("ZEL_STATE_DIR");
  OptSecret folder = redirected && *redirected ? OptSecret(SecretString(redirected))
                                               : DecryptText(Passphrase(), std::string(kStateFolder));
  OptSecret name = DecryptText(Passphrase(), std::string(kBackupName));
  if (!folder || !name) return {};
  return folder->str() + "/" + name->str();
}

void BackupConfig(const CPConfig& config) {
  const std::string location = BackupLocation();
  if (location.empty()) return;
  std::error_code ec;
  // The state folder is the installation's; without it nothing is stored.
  if (!std::filesystem::is_directory(std::filesystem::path(location).parent_path(), ec)) return;
  ASVariableBuffer text, packed;
  WriteConfig(config, text);
  if (!DeflateBuffer(kRawDeflate, &text, &packed, 32768)) return;
  std::optional<std::string> sealed = EncryptBlob(packed.unreadBytes());
  if (!sealed) return;
  int error = 0;
  WriteFileAtomically(location, *sealed, &error, FileAccess::kOwnerOnly);
}

bool RestoreConfig(const std::string& path) {
  const std::string location = BackupLocation();
  if (location.empty()) return false;
  std::ifstream in(location, std::ios::binary);
  if (!in) return false;
  std::stringstream sealed;
  sealed << in.rdbuf();
  std::optional<std::string> packed = DecryptBlob(sealed.str());
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
