// The encrypted copy of the last good configuration, kept outside config.xml under a key that the
// installation creates (never the service), a state folder on Linux and a registry key on Windows:
// WriteConfig text, raw deflate, 3DES under the fixed passphrase, stored whole or not at all and
// readable by its owner only, as is a restored config.xml. The key and value names are held enciphered.
#pragma once

#include <string>

namespace zel {

struct CPConfig;

// Stores the backup of `config`; leaves the old one when the state folder is missing or a step fails.
void BackupConfig(const CPConfig& config);
// Writes the backup over `path`; true only when a non-empty file was written. A backup that is
// missing, cannot be decrypted or cannot be inflated leaves the file untouched.
bool RestoreConfig(const std::string& path);

// The key the backup is kept under (ZEL_STATE_DIR replaces it, for tests): the state folder on
// Linux, a registry key under HKEY_LOCAL_MACHINE on Windows. Empty when it cannot be deciphered.
std::string BackupKey();
// The key and the value's name joined with "/": on Linux the backup file's full path.
std::string BackupLocation();

}  // namespace zel
