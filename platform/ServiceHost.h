// What the service run needs from the system's service manager (systemd; on Windows the service
// control manager): status reports, the control signals, the installed unit, the journal or event
// log, and the log file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Log.h"

namespace zel {

// The program's arguments as UTF-8, its name first: argv as given on Linux; on Windows read again
// from the wide command line (GetCommandLineW), since argv is in the narrow code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// True when systemd started this process and listens for status reports (on Windows always false:
// only the dispatcher of RunAsService can tell).
bool StartedByServiceManager();
// Sends one status report ("READY=1", "STOPPING=1", "STATUS=...") to systemd; ignores failures.
// On Windows the same reports become SetServiceStatus calls: "STATUS=Starting" start pending with
// a wait hint of 3000 ms, "READY=1" running, "STATUS=Pausing" and "STATUS=Resuming" pause and
// continue pending, "STATUS=Paused" paused, "STOPPING=1" stop pending, "STATUS=Stopped" stopped;
// every pending report takes the next check point. Other status lines have no Windows form.
void NotifyServiceManager(const std::string& state);

// Hands the process to the service manager when it started the process: `serviceMain` runs with
// the service's start arguments (the first names the program or the service) and the call returns
// when it has. False, with nothing run, when the process was started some other way (systemd:
// no NOTIFY_SOCKET, the program's own arguments are the start arguments; Windows: the dispatcher
// of the service control manager refused, as it does for a program started from a console).
bool RunAsService(const std::vector<std::string>& programArguments,
                  const std::function<void(const std::vector<std::string>& startArguments)>& serviceMain);

enum class ControlSignal { Stop, Pause, Continue, Suspend, Resume };

// Blocks the control signals in the calling thread (and so in every thread it starts later) and
// turns them into calls of `handler` on a thread of its own: SIGTERM and SIGINT stop, SIGUSR1
// pauses, SIGUSR2 continues; logind's PrepareForSleep suspends and resumes when a system bus is
// there. The handler must not block. Destroying it stops both threads. On Windows the service's
// control handler makes the calls (stop and shutdown, pause, continue, and the suspend and
// automatic-resume power events), and in the foreground Ctrl-C, Ctrl-Break and closing the console
// stop.
class ControlSignalThread {
 public:
  virtual ~ControlSignalThread() = default;
};
std::unique_ptr<ControlSignalThread> StartControlSignalThread(std::function<void(ControlSignal)> handler,
                                                              bool watchSleep);

// The event sink of a service run: the system journal under SYSLOG_IDENTIFIER=CarvossService
// (Linux only).
std::shared_ptr<EventSink> MakeJournalSink();
// The event sink of a service run on this system: the journal, or the Windows Application event
// log under the source CarvossService (ReportEventW with the program's message table).
std::shared_ptr<EventSink> MakeServiceEventSink();

// The log file: opened for writing, created, and truncated or appended to; one write per line,
// fdatasync (Windows: FlushFileBuffers) at sync() and at close. Null with errno in *error when it cannot be opened.
std::unique_ptr<LogWriter> OpenLogFile(const std::string& path, bool truncate, int* error);

// Renames `from` to `to` unless `to` already exists. False with errno in *error.
bool RenameNoReplace(const std::string& from, const std::string& to, int* error);

// Whether this process may install services (root; on Windows an elevated token).
bool IsAdministrator();
// The two below are Linux only: they serve the systemd unit's installation.
// Runs a program (found on PATH) with the arguments, its standard output and error caught in
// *output rather than shown; its exit status, or -1 when it could not run or was killed.
int RunCapturingOutput(const std::vector<std::string>& argv, std::string* output);
// Whether systemd is the running init system.
bool SystemdBooted();

}  // namespace zel
