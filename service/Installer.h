// zel -i and -u: the systemd unit of the service, and the state folder the configuration backup
// lives in. Every outcome is one line on standard output; systemctl's own output is caught and
// shown only as the reason of a failure.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zel {

// The ExecStart command line: the program path, then " -c " and the configuration path when one
// was named; each quoted for systemd when it holds a space (or anything else systemd would split
// or expand).
std::string ServiceCommandLine(const std::string& program, const std::optional<std::string>& configPath);
// The whole unit file for that command line: the one text both the package and zel -i install.
std::string UnitFileText(const std::string& commandLine);

// Runs systemctl with the arguments; its exit status (-1 when it could not run) and, in *output,
// what it printed. Empty when systemd does not run here or the unit folder is not the system's.
using Systemctl = std::function<int(const std::vector<std::string>& arguments, std::string* output)>;

// Where the units live: $ZEL_UNIT_DIR (default /etc/systemd/system) for zel -i, and the folder
// a package installs its unit to ($ZEL_PACKAGE_UNIT_DIR, default /lib/systemd/system).
struct UnitFolders {
  std::string local;
  std::string package;
  bool redirected = false;  // ZEL_UNIT_DIR names another folder: systemd is not told
};
UnitFolders CurrentUnitFolders();

void InstallService(const std::optional<std::string>& configPath, const UnitFolders& folders,
                    const Systemctl& systemctl);
void UninstallService(const UnitFolders& folders, const Systemctl& systemctl);

}  // namespace zel
