// The encrypted copy of the last good configuration, kept outside config.xml in the state folder
// that the installation creates (never the service): WriteConfig text, raw deflate, 3DES under the
// fixed passphrase, written atomically and readable by its owner only, as is a restored config.xml.
// The folder and file names are held enciphered.
#pragma once

#include <string>

namespace zel {

struct CPConfig;

// Stores the backup of `config`; leaves the old one when the state folder is missing or a step fails.
void BackupConfig(const CPConfig& config);
// Writes the backup over `path`; true only when a non-empty file was written. A backup that is
// missing, cannot be decrypted or cannot be inflated leaves the file untouched.
bool RestoreConfig(const std::string& path);

// The backup file's full path (ZEL_STATE_DIR replaces the state folder, for tests).
std::string BackupLocation();

}  // namespace zel
