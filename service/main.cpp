// zel's entry point: parse the command line, perform exactly one action, return 0 (or 78 for a
// service run that found no usable configuration).
#include <cstdio>
#include <string>
#include <vector>

#include "common/Log.h"
#include "config/ConfigBackup.h"
#include "platform/ServiceHost.h"
#include "platform/ServiceInstall.h"
#include "service/CommandLine.h"
#include "service/ServiceRun.h"

int main(int argc, char** argv) {
  using namespace zel;
  const std::vector<std::string> all = ProgramArguments(argc, argv);
  std::vector<std::string> arguments(all.begin() + (all.empty() ? 0 : 1), all.end());
  SetForeground(false);
  CommandLine command = ParseCommandLine(arguments);
  int status = 0;
  switch (command.action) {
    case Action::Help: std::fputs(kHelpText, stdout); break;
    case Action::Version: std::fputs(VersionLine().c_str(), stdout); break;
    case Action::Generate: GenerateConfig(); break;
    case Action::Install: InstallSystemService(command.configPath, BackupKey()); break;
    case Action::Uninstall: UninstallSystemService(); break;
    case Action::EventSource: RegisterEventLogSource(); break;
    case Action::Foreground:
      SetForeground(true);
      status = RunForeground(all, command);
      break;
    case Action::ServiceManager: status = RunUnderServiceManager(all, command); break;
  }
  std::fflush(stdout);
  return status;
}
