// zel's entry point: parse the command line, perform exactly one action, return 0.
#include <cstdio>
#include <string>
#include <vector>

#include "common/Log.h"
#include "service/CommandLine.h"
#include "service/Installer.h"
#include "service/ServiceRun.h"

int main(int argc, char** argv) {
  using namespace zel;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SetForeground(false);
  CommandLine command = ParseCommandLine(arguments);
  switch (command.action) {
    case Action::Help: std::fputs(kHelpText, stdout); break;
    case Action::Version: std::fputs(VersionLine().c_str(), stdout); break;
    case Action::Generate: GenerateConfig(); break;
    case Action::Install: InstallService(command.configPath); break;
    case Action::Uninstall: UninstallService(); break;
    case Action::EventSource: break;  // the journal needs no registration
    case Action::Foreground:
      SetForeground(true);
      RunForeground(argc, argv, command);
      break;
    case Action::ServiceManager: RunUnderServiceManager(argc, argv, command); break;
  }
  std::fflush(stdout);
  return 0;
}
