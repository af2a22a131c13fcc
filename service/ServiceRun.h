// The service's run: installation into the service manager, the foreground run and the run under
// systemd.
#pragma once

#include "service/CommandLine.h"

namespace zel {

void InstallService(const CommandLine& command);
void UninstallService();
void RunForeground(const CommandLine& command);
void RunUnderServiceManager(const CommandLine& command);

// The configuration path of a run: the -c path, else config.xml beside the program.
std::optional<std::string> ConfigPathFor(const CommandLine& command);

}  // namespace zel
