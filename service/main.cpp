// zel's entry point: parse the command line, perform exactly one action, return 0 (or 78 for a
// service run that found no usable configuration).
#include <cstdio>
#include <string>
#include <vector>

#include "common/Log.h"
#include "platform/ServiceHost.h"
#include "service/CommandLine.h"
#include "service/Installer.h"
#include "service/ServiceRun.h"

namespace {

// systemctl, when systemd runs here and the unit folder is its own.
zel::Systemctl SystemctlHere(const zel::UnitFolders& folders) {
  if (folders.redirected || !zel::SystemdBooted()) return nullptr;
  return [](const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return zel::RunCapturingOutput(argv, output);
  };
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zel;
  const UnitFolders folders = CurrentUnitFolders();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SetForeground(false);
  CommandLine command = ParseCommandLine(arguments);
  int status = 0;
  switch (command.action) {
    case Action::Help: std::fputs(kHelpText, stdout); break;
    case Action::Version: std::fputs(VersionLine().c_str(), stdout); break;
    case Action::Generate: GenerateConfig(); break;
    case Action::Install: InstallService(command.configPath, folders, SystemctlHere(folders)); break;
    case Action::Uninstall: UninstallService(folders, SystemctlHere(folders)); break;
    case Action::EventSource: break;  // the journal needs no registration
    case Action::Foreground:
      SetForeground(true);
      status = RunForeground(argc, argv, command);
      break;
    case Action::ServiceManager: status = RunUnderServiceManager(argc, argv, command); break;
  }
  std::fflush(stdout);
  return status;
}
