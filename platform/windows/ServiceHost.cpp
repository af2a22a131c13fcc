// The Windows service host: StartServiceCtrlDispatcherW hands the process to the service control
// manager, the service's main routine registers the control handler (RegisterServiceCtrlHandlerExW),
// and status reports become SetServiceStatus calls. The handler turns stop, shutdown, pause,
// continue and the suspend and resume power events into control signals and never waits. Events go
// to the Application event log through ReportEventW, with the message table compiled into zel.exe.
#include "platform/ServiceHost.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/windows/WinText.h"

namespace zel {
namespace {

constexpr wchar_t kServiceName[] = L"CarvossService";
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;

// What the dispatcher's callbacks reach: they take no context of their own.
struct HostState {
  std::mutex lock;
  SERVICE_STATUS_HANDLE status = nullptr;
  DWORD checkPoint = 1;
  std::function<void(ControlSignal)> handler;
  const std::function<void(const std::vector<std::string>&)>* serviceMain = nullptr;
};

HostState& Host() {
  static HostState state;
  return state;
}

void Signal(ControlSignal signal) {
  std::function<void(ControlSignal)> handler;
  {
    std::lock_guard<std::mutex> hold(Host().lock);
    handler = Host().handler;
  }
  if (handler) handler(signal);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: Signal(ControlSignal::Stop); return NO_ERROR;
    case SERVICE_CONTROL_PAUSE: Signal(ControlSignal::Pause); return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE: Signal(ControlSignal::Continue); return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      if (eventType == PBT_APMSUSPEND || eventType == PBT_APMSTANDBY)
        Signal(ControlSignal::Suspend);
      else if (eventType == PBT_APMRESUMEAUTOMATIC)
        Signal(ControlSignal::Resume);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  {
    std::lock_guard<std::mutex> hold(Host().lock);
    Host().status = status;
    Host().checkPoint = 1;
  }
  std::vector<std::string> arguments;
  for (DWORD i = 0; i < argc; ++i) arguments.push_back(win::Utf8(argv[i]));
  if (arguments.empty()) arguments.push_back("CarvossService");
  if (Host().serviceMain) (*Host().serviceMain)(arguments);
}

// Foreground mode: Ctrl-C, Ctrl-Break and closing the console stop the run in order.
BOOL WINAPI ConsoleHandler(DWORD) {
  Signal(ControlSignal::Stop);
  return TRUE;
}

class WindowsControls final : public ControlSignalThread {
 public:
  explicit WindowsControls(std::function<void(ControlSignal)> handler) {
    std::lock_guard<std::mutex> hold(Host().lock);
    Host().handler = std::move(handler);
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
  }
  ~WindowsControls() override {
    SetConsoleCtrlHandler(ConsoleHandler, FALSE);
    std::lock_guard<std::mutex> hold(Host().lock);
    Host().handler = nullptr;
  }
};

class EventLogSink final : public EventSink {
 public:
  void report(LogLevel level, const std::string& message) override {
    const WORD type = level == LogLevel::Error     ? EVENTLOG_ERROR_TYPE
                      : level == LogLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    const DWORD id = level == LogLevel::Error ? 0xC00203E8 : level == LogLevel::Warning ? 0x800207D0 : 0x40020BB8;
    std::vector<std::wstring> strings;
    for (const std::string& s : SplitInsertionStrings(message)) strings.push_back(win::Wide(s));
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& s : strings) pointers.push_back(s.c_str());
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (!source) return;
    ReportEventW(source, type, 0, id, nullptr, WORD(pointers.size()), 0, pointers.data(), nullptr);
    DeregisterEventSource(source);
  }
};

// The log file: every line one WriteFile, so a process that dies loses no written line;
// FlushFileBuffers at sync and close. Shared for reading, writing and deletion, so that anyone may
// read it while the service runs.
class WindowsLogFile final : public LogWriter {
 public:
  explicit WindowsLogFile(HANDLE h) : handle_(h) {}
  ~WindowsLogFile() override {
    FlushFileBuffers(handle_);
    CloseHandle(handle_);
  }
  void writeLine(std::string_view line) override {
    DWORD put = 0;
    WriteFile(handle_, line.data(), DWORD(line.size()), &put, nullptr);
  }
  void sync() override { FlushFileBuffers(handle_); }

 private:
  HANDLE handle_;
};

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(win::Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

// A process the service control manager starts is told so only by the dispatcher: see RunAsService.
bool StartedByServiceManager() { return false; }

void NotifyServiceManager(const std::string& state) {
  struct Row {
    const char* prefix;
    DWORD state;
    DWORD waitHint;
  };
  static constexpr Row kRows[] = {
      {"STATUS=Starting", SERVICE_START_PENDING, 3000},
      {"READY=1", SERVICE_RUNNING, 0},
      {"STATUS=Pausing", SERVICE_PAUSE_PENDING, 0},
      {"STATUS=Resuming", SERVICE_CONTINUE_PENDING, 0},
      {"STATUS=Paused", SERVICE_PAUSED, 0},
      {"STOPPING=1", SERVICE_STOP_PENDING, 0},
      {"STATUS=Stopped", SERVICE_STOPPED, 0},
  };
  const Row* row = nullptr;
  for (const Row& r : kRows)
    if (state.rfind(r.prefix, 0) == 0) row = &r;
  if (!row) return;
  std::lock_guard<std::mutex> hold(Host().lock);
  if (!Host().status) return;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = row->state;
  status.dwControlsAccepted = row->state == SERVICE_START_PENDING ? 0 : kAcceptedControls;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  const bool pending = row->state == SERVICE_START_PENDING || row->state == SERVICE_STOP_PENDING ||
                       row->state == SERVICE_PAUSE_PENDING || row->state == SERVICE_CONTINUE_PENDING;
  status.dwCheckPoint = pending ? Host().checkPoint++ : 0;
  status.dwWaitHint = row->waitHint;
  SetServiceStatus(Host().status, &status);
}

bool RunAsService(const std::vector<std::string>&,
                  const std::function<void(const std::vector<std::string>& startArguments)>& serviceMain) {
  Host().serviceMain = &serviceMain;
  wchar_t name[] = L"CarvossService";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  const bool ran = StartServiceCtrlDispatcherW(table);
  Host().serviceMain = nullptr;
  return ran;
}

std::unique_ptr<ControlSignalThread> StartControlSignalThread(std::function<void(ControlSignal)> handler, bool) {
  return std::make_unique<WindowsControls>(std::move(handler));
}

std::shared_ptr<EventSink> MakeServiceEventSink() { return std::make_shared<EventLogSink>(); }

std::unique_ptr<LogWriter> OpenLogFile(const std::string& path, bool truncate, int* error) {
  HANDLE h = CreateFileW(win::Wide(path).c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = win::LastErrno();
    return nullptr;
  }
  if (!truncate) SetFilePointer(h, 0, nullptr, FILE_END);
  return std::make_unique<WindowsLogFile>(h);
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
  if (MoveFileExW(win::Wide(from).c_str(), win::Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  if (error) *error = win::LastErrno();
  return false;
}

bool IsAdministrator() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
  CloseHandle(token);
  return elevated;
}

}  // namespace zel
