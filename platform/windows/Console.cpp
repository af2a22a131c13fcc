// A server's text message for the user at the console: WTSSendMessageW to the active console
// session (WTSGetActiveConsoleSessionId), not waiting for an answer; with nobody at the console,
// nothing. ZEL_CONSOLE_RECORD names a file that receives the messages instead, for tests.
#include "platform/Console.h"

#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/windows/WinText.h"

namespace zel {

void NotifyConsoleUser(const std::string& title, const std::string& text) {
  if (const wchar_t* record = _wgetenv(L"ZEL_CONSOLE_RECORD"); record && *record) {
    if (FILE* f = _wfopen(record, L"ab")) {
      const std::string entry = title + "\n" + text + "\n\x1e\n";
      std::fwrite(entry.data(), 1, entry.size(), f);
      std::fclose(f);
    }
    return;
  }
  const DWORD session = WTSGetActiveConsoleSessionId();
  if (session == 0xFFFFFFFF) return;
  std::wstring wideTitle = win::Wide(title), wideText = win::Wide(text);
  DWORD response = 0;
  WTSSendMessageW(WTS_CURRENT_SERVER_HANDLE, session, wideTitle.data(), DWORD(wideTitle.size() * sizeof(wchar_t)),
                  wideText.data(), DWORD(wideText.size() * sizeof(wchar_t)), MB_OK | MB_ICONINFORMATION, 0, &response,
                  FALSE);
}

}  // namespace zel
