// The test's hand on the service control manager, as an administrator's tool would use it:
//   service_ctl start|stop|pause|continue|query|wait STATE [seconds]
// start is StartServiceW; stop, pause and continue are ControlService; query prints the current
// state's name; wait polls QueryServiceStatus until the state is reached. Prints the state reached
// (or "error N" with GetLastError) and exits 0 only on success. States: STOPPED, START_PENDING,
// STOP_PENDING, RUNNING, CONTINUE_PENDING, PAUSE_PENDING, PAUSED.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* StateName(DWORD state) {
  static const char* kNames[] = {"?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
                                 "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  return state < 8 ? kNames[state] : "?";
}

int Fail(const char* what) {
  std::printf("%s error %lu\n", what, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string action = argv[1];
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return Fail("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, L"CarvossService", SERVICE_ALL_ACCESS);
  if (!service) return Fail("OpenService");
  SERVICE_STATUS status{};
  int rc = 0;
  if (action == "start") {
    if (!StartServiceW(service, 0, nullptr)) return Fail("StartService");
  } else if (action == "stop" || action == "pause" || action == "continue") {
    const DWORD control = action == "stop"    ? SERVICE_CONTROL_STOP
                          : action == "pause" ? SERVICE_CONTROL_PAUSE
                                              : SERVICE_CONTROL_CONTINUE;
    if (!ControlService(service, control, &status)) return Fail("ControlService");
    std::printf("%s checkpoint %lu hint %lu\n", StateName(status.dwCurrentState), status.dwCheckPoint,
                status.dwWaitHint);
  } else if (action == "wait" && argc >= 3) {
    const int seconds = argc >= 4 ? std::atoi(argv[3]) : 30;
    rc = 1;
    for (int i = 0; i < seconds * 10; ++i) {
      if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
      if (std::strcmp(StateName(status.dwCurrentState), argv[2]) == 0) {
        rc = 0;
        break;
      }
      Sleep(100);
    }
    std::printf("%s accepts 0x%lx\n", StateName(status.dwCurrentState), status.dwControlsAccepted);
  } else if (action == "query") {
    if (!QueryServiceStatus(service, &status)) return Fail("QueryServiceStatus");
    std::printf("%s accepts 0x%lx exit %lu\n", StateName(status.dwCurrentState), status.dwControlsAccepted,
                status.dwWin32ExitCode);
  } else {
    rc = 2;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}
