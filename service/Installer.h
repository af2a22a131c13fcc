// zel -i and -u: the systemd unit of the service, and the state folder the configuration backup
// lives in. Every outcome is one console line.
#pragma once

#include <optional>
#include <string>

namespace zel {

// The ExecStart command line: the program path, then " -c " and the configuration path when one
// was named; each quoted for systemd when it holds a space (or anything else systemd would split
// or expand).
std::string ServiceCommandLine(const std::string& program, const std::optional<std::string>& configPath);
// The whole unit file for that command line.
std::string UnitFileText(const std::string& commandLine);

void InstallService(const std::optional<std::string>& configPath);
void UninstallService();

}  // namespace zel
