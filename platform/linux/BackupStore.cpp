// The backup's key is the state folder and its value a file there, replaced atomically (temporary
// file, fsync, rename, fsync of the folder) and readable by its owner only.
#include "platform/BackupStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"

namespace zel {

bool StoreBackupValue(const std::string& key, const std::string& value, std::string_view bytes) {
  std::error_code ec;
  if (!std::filesystem::is_directory(key, ec)) return false;
  int error = 0;
  return WriteFileAtomically(key + "/" + value, bytes, &error, FileAccess::kOwnerOnly);
}

std::optional<std::string> LoadBackupValue(const std::string& key, const std::string& value) {
  std::ifstream in(key + "/" + value, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return bytes.str();
}

int CreateBackupKey(const std::string& key) {
  if (::mkdir(key.c_str(), 0700) == 0 || errno == EEXIST) return 0;
  return errno;
}

}  // namespace zel
