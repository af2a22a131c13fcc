// zel -i and -u on Windows: the service CarvossService ("Velmor Carvoss", automatic start, own
// process, LocalSystem) created with CreateServiceW and removed with DeleteService after a stop
// through ControlService; -i registers the event-log source first. Every outcome is one line.
#include "platform/ServiceInstall.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "platform/windows/WinText.h"

namespace zel {
namespace {

constexpr wchar_t kServiceName[] = L"CarvossService";
constexpr wchar_t kDisplayName[] = L"Velmor Carvoss";

std::wstring Quoted(const std::wstring& path) {
  return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(path, n);
}

// Closes a service manager handle when it goes.
struct ScHandle {
  SC_HANDLE h;
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
};

// The manager, or null after printing why not.
SC_HANDLE OpenManager() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED)
      std::fputs("Please, run as administrator\n", stdout);
    else
      std::printf("OpenSCManager failed, error %d\n", int(code));
  }
  return manager;
}

}  // namespace

void RegisterEventLogSource() {
  HKEY key = nullptr;
  if (RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CarvossService",
                    &key) != ERROR_SUCCESS)
    return;
  const std::wstring program = ModulePath();
  if (!program.empty())
    RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                   DWORD((program.size() + 1) * sizeof(wchar_t)));
  const DWORD types = 7;
  RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  RegCloseKey(key);
}

void InstallSystemService(const std::optional<std::string>& configPath) {
  RegisterEventLogSource();
  const std::wstring program = ModulePath();
  if (program.empty()) {
    std::printf("Cannot install service, error %d\n", int(GetLastError()));
    return;
  }
  std::wstring commandLine = Quoted(program);
  if (configPath) {
    // The service runs from the system folder: a relative configuration path is made absolute here.
    std::wstring config = win::Wide(*configPath);
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(config.c_str(), MAX_PATH, full, nullptr);
    if (n > 0 && n < MAX_PATH) config.assign(full, n);
    commandLine += L" -c " + Quoted(config);
  }
  ScHandle manager{OpenManager()};
  if (!manager.h) return;
  ScHandle service{CreateServiceW(manager.h, kServiceName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr)};
  if (!service.h) {
    const DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED)
      std::fputs("Please, run as administrator\n", stdout);
    else
      std::printf("CreateService failed, error 0x%08x\n", unsigned(code));
    return;
  }
  std::fputs("Service installed successfully\n", stdout);
}

void UninstallSystemService() {
  ScHandle manager{OpenManager()};
  if (!manager.h) return;
  ScHandle service{OpenServiceW(manager.h, kServiceName, DELETE | SERVICE_STOP)};
  if (!service.h) {
    std::printf("OpenService failed, error %d\n", int(GetLastError()));
    return;
  }
  SERVICE_STATUS status{};
  if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) Sleep(status.dwWaitHint);
  if (!DeleteService(service.h)) {
    std::printf("DeleteService failed, error %d\n", int(GetLastError()));
    return;
  }
  std::fputs("Service uninstalled successfully\n", stdout);
}

}  // namespace zel
