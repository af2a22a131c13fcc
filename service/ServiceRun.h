// The two ways zel runs: in the foreground of a console, or under the service manager.
#pragma once

#include <string>
#include <vector>

#include "service/CommandLine.h"

namespace zel {

// Each returns the process's exit status: 0, or 78 (EX_CONFIG) for a service run whose
// configuration could not be loaded, checked or restored.
// `arguments` are the program's own, its name first.
int RunForeground(const std::vector<std::string>& arguments, const CommandLine& command);
// Outside the service manager (systemd: no NOTIFY_SOCKET) returns 0 and says nothing.
int RunUnderServiceManager(const std::vector<std::string>& arguments, const CommandLine& command);

}  // namespace zel
