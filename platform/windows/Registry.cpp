// The backup's key is a registry key under HKEY_LOCAL_MACHINE (made by the installation with
// RegCreateKeyW) and its value a REG_BINARY value, set with RegSetValueExW and read whole with
// RegQueryValueExW. The service opens the key only with the right it needs and never creates it.
#include <windows.h>

#include "platform/BackupStore.h"
#include "platform/windows/WinText.h"

namespace zel {

bool StoreBackupValue(const std::string& key, const std::string& value, std::string_view bytes) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, win::Wide(key).c_str(), 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS) return false;
  const LONG rc = RegSetValueExW(h, win::Wide(value).c_str(), 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()));
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

std::optional<std::string> LoadBackupValue(const std::string& key, const std::string& value) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, win::Wide(key).c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
    return std::nullopt;
  const std::wstring name = win::Wide(value);
  std::optional<std::string> bytes;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(h, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_BINARY) {
    std::string read(size, '\0');
    if (RegQueryValueExW(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(read.data()), &size) ==
        ERROR_SUCCESS) {
      read.resize(size);
      bytes = std::move(read);
    }
  }
  RegCloseKey(h);
  return bytes;
}

int CreateBackupKey(const std::string& key) {
  HKEY h = nullptr;
  const LONG rc = RegCreateKeyW(HKEY_LOCAL_MACHINE, win::Wide(key).c_str(), &h);
  if (rc != ERROR_SUCCESS) return win::ErrnoOf(DWORD(rc));
  RegCloseKey(h);
  return 0;
}

}  // namespace zel
