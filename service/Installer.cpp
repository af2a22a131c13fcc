// The unit goes to $ZEL_UNIT_DIR (default /etc/systemd/system); systemctl is asked to reload and
// enable it only when systemd runs and the unit folder is the system's own.
#include "service/Installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/ConfigBackup.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "service/CommandLine.h"

namespace zel {
namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

std::string UnitDir(bool* redirected) {
  const char* dir = std::getenv("ZEL_UNIT_DIR");
  *redirected = dir && *dir;
  return *redirected ? dir : kDefaultUnitDir;
}

std::string UnitPath(bool* redirected) { return UnitDir(redirected) + "/" + kServiceName + ".service"; }

// One word of ExecStart: specifiers (%) and variables ($) are doubled; a word holding white space,
// quotes or backslashes goes in double quotes with \ and " escaped.
std::string SystemdWord(const std::string& word) {
  std::string out;
  bool quote = word.empty();
  for (char c : word) {
    if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
      quote = true;
    } else {
      if (c == ' ' || c == '\t' || c == '\'' || c == ';') quote = true;
      out += c;
    }
  }
  return quote ? "\"" + out + "\"" : out;
}

}  // namespace

std::string ServiceCommandLine(const std::string& program, const std::optional<std::string>& configPath) {
  std::string line = SystemdWord(program);
  if (configPath) line += " -c " + SystemdWord(*configPath);
  return line;
}

std::string UnitFileText(const std::string& commandLine) {
  return std::string("[Unit]\n") + "Description=" + kDisplayName +
         "\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" +
         commandLine +
         "\n"
         "TimeoutStopSec=30\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

void InstallService(const std::optional<std::string>& configPath) {
  std::optional<std::string> program = ProgramPath();
  if (!program) {
    std::printf("Cannot install service, error %d\n", errno);
    return;
  }
  if (!IsAdministrator()) {
    std::fputs("Please, run as administrator\n", stdout);
    return;
  }
  bool redirected = false;
  const std::string unit = UnitPath(&redirected);
  std::error_code ec;
  if (std::filesystem::exists(unit, ec)) {
    std::printf("CreateService failed, error 0x%08x\n", unsigned(EEXIST));
    return;
  }
  // The configuration backup's folder belongs to the installation: the service never creates it.
  const std::string stateDir = std::filesystem::path(BackupLocation()).parent_path().string();
  if (!stateDir.empty() && ::mkdir(stateDir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::printf("CreateService failed, error 0x%08x\n", unsigned(errno));
    return;
  }
  int error = 0;
  if (!WriteFileAtomically(unit, UnitFileText(ServiceCommandLine(*program, configPath)), &error)) {
    if (error == EACCES || error == EPERM)
      std::fputs("Please, run as administrator\n", stdout);
    else
      std::printf("CreateService failed, error 0x%08x\n", unsigned(error));
    return;
  }
  if (!redirected) {
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", "CarvossService.service"});
  }
  std::fputs("Service installed successfully\n", stdout);
}

void UninstallService() {
  if (!IsAdministrator()) {
    std::fputs("Please, run as administrator\n", stdout);
    return;
  }
  bool redirected = false;
  const std::string unit = UnitPath(&redirected);
  std::error_code ec;
  if (!std::filesystem::exists(unit, ec)) {
    std::printf("OpenService failed, error %d\n", ENOENT);
    return;
  }
  if (!redirected) {
    RunSystemctl({"stop", "CarvossService.service"});
    RunSystemctl({"disable", "CarvossService.service"});
  }
  if (::unlink(unit.c_str()) != 0) {
    std::printf("DeleteService failed, error %d\n", errno);
    return;
  }
  if (!redirected) RunSystemctl({"daemon-reload"});
  std::fputs("Service uninstalled successfully\n", stdout);
}

}  // namespace zel
