// zel's entry point: parse the command line, perform exactly one action, return 0 (or 78 for a
// service run that found no usable configuration).
#include <cstdio>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/ServiceInstall.h"
#include "service/CommandLine.h"
#include "service/ServiceRun.h"

int main(int argc, char** argv) {
  using namespace zel;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SetForeground(false);
  CommandLine command = ParseCommandLine(arguments);
  int status = 0;
  switch (command.action) {
    case Action::Help: std::fputs(kHelpText, stdout); break;
    case Action::Version: std::fputs(VersionLine().c_str(), stdout); break;
    case Action::Generate: GenerateConfig(); break;
    case Action::Install: InstallSystemService(command.configPath); break;
    case Action::Uninstall: UninstallSystemService(); break;
    case Action::EventSource: RegisterEventLogSource(); break;
    case Action::Foreground:
      SetForeground(true);
      status = RunForeground(argc, argv, command);
      break;
    case Action::ServiceManager: status = RunUnderServiceManager(argc, argv, command); break;
  }
  std::fflush(stdout);
  return status;
}
