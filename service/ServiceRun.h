// The two ways zel runs: in the foreground of a console, or under systemd.
#pragma once

#include "service/CommandLine.h"

namespace zel {

void RunForeground(int argc, char** argv, const CommandLine& command);
// Outside systemd (no NOTIFY_SOCKET) returns at once and says nothing.
void RunUnderServiceManager(int argc, char** argv, const CommandLine& command);

}  // namespace zel
