// The two ways zel runs: in the foreground of a console, or under systemd.
#pragma once

#include "service/CommandLine.h"

namespace zel {

// Each returns the process's exit status: 0, or 78 (EX_CONFIG) for a service run whose
// configuration could not be loaded, checked or restored.
int RunForeground(int argc, char** argv, const CommandLine& command);
// Outside systemd (no NOTIFY_SOCKET) returns 0 at once and says nothing.
int RunUnderServiceManager(int argc, char** argv, const CommandLine& command);

}  // namespace zel
