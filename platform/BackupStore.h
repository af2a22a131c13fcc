// The one place the configuration backup is kept: a value under a key that the installation makes
// and the service never does. On Linux the key is a folder and the value a file in it, written
// atomically and readable by its owner only; on Windows the key is a registry key under
// HKEY_LOCAL_MACHINE and the value a REG_BINARY value in it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel {

// Stores `bytes` as the value; false, with the old value left as it was, when the key does not
// exist or the write fails.
bool StoreBackupValue(const std::string& key, const std::string& value, std::string_view bytes);
// The value's bytes; none when the key or the value is missing or cannot be read.
std::optional<std::string> LoadBackupValue(const std::string& key, const std::string& value);
// Makes the key, as the installation does: 0 (also when it exists), or an errno value.
int CreateBackupKey(const std::string& key);

}  // namespace zel
