// Loads and checks the configuration in the foreground; installation and the systemd run come with
// the service host.
#include "service/ServiceRun.h"

#include <cstdio>
#include <cstdlib>

#include "common/Log.h"
#include "config/CPConfig.h"
#include "platform/Files.h"

namespace zel {

std::optional<std::string> ConfigPathFor(const CommandLine& command) {
  if (command.configPath) return command.configPath;
  std::optional<std::string> program = ProgramPath();
  if (!program || program->rfind('/') == std::string::npos) return std::nullopt;
  return program->substr(0, program->rfind('/')) + "/" + kConfigFileName;
}

void InstallService(const CommandLine&) { std::fputs("Service installation is not built yet\n", stdout); }
void UninstallService() { std::fputs("Service installation is not built yet\n", stdout); }

void RunForeground(const CommandLine& command) {
  std::optional<std::string> path = ConfigPathFor(command);
  if (!path) {
    EventError("Cannot get default directory");
    return;
  }
  CPConfig config;
  if (LoadConfig(config, *path) != 0 || !ValidateConfig(config)) return;
  EventInfo("Config file %s is valid: %zu account(s), server port %u", path->c_str(), config.accounts.size(),
            unsigned(config.server.port));
}

void RunUnderServiceManager(const CommandLine&) {
  // Not started by systemd: nothing to hand over to, and nothing to say.
  if (!std::getenv("NOTIFY_SOCKET")) return;
}

}  // namespace zel
