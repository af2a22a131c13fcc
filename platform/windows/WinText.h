// Helpers the Windows backend shares: UTF-8 paths and texts to the UTF-16 the wide calls take and
// back, and Win32 error codes to the errno values the core compares and logs.
#pragma once

#include <windows.h>

#include <string>

namespace zel::win {

// UTF-8 to UTF-16 (invalid bytes become U+FFFD); "/" stays "/", which every wide file call takes.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide);
// The errno value of a Win32 error code (EIO for codes without one).
int ErrnoOf(DWORD code);
// GetLastError as an errno value.
int LastErrno();

}  // namespace zel::win
