// zel -i, -u and -ev: the service's installation with this system's service manager. Every outcome
// is one line on standard output. On Linux this is the systemd unit of service/Installer.cpp (which
// the package build shares); on Windows CreateServiceW and DeleteService through the service control
// manager, and the event source's registry key.
#pragma once

#include <optional>
#include <string>

namespace zel {

// Installs the service to run this program, with " -c " and `configPath` when one was named.
void InstallSystemService(const std::optional<std::string>& configPath);
// Stops the service when it runs and removes it.
void UninstallSystemService();
// Registers the event-log source CarvossService with this program's message table; ignores every
// failure. The journal needs no registration.
void RegisterEventLogSource();

}  // namespace zel
