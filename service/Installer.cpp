// The unit goes to $ZEL_UNIT_DIR (default /etc/systemd/system); systemctl is asked to reload and
// enable it only when systemd runs and the unit folder is the system's own. A unit installed by
// the package belongs to the package: zel -i finds the service there already, zel -u leaves it.
#include "service/Installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/ConfigBackup.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/ServiceInstall.h"
#include "service/CommandLine.h"

namespace zel {
namespace {

constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
constexpr const char* kDefaultPackageUnitDir = "/lib/systemd/system";
constexpr const char* kUnitName = "CarvossService.service";

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

struct UnitLine {
  const char* comment;  // what the option is for, one line
  const char* setting;
};

// The unit around ExecStart. The service runs as root: it writes the folders the configuration
// names, owned by whichever users drop and take the documents there, wherever they are.
constexpr std::array kUnitHead = {
    UnitLine{"Starts once the network is up: every pass talks to the exchange server.", "After=network-online.target"},
    UnitLine{"Asks for the network to be brought up at boot.", "Wants=network-online.target"},
    UnitLine{"A crash loop ends after five starts in ten minutes, so rotated logs cannot fill the log folder.",
             "StartLimitIntervalSec=600"},
    UnitLine{"The number of starts allowed within that interval.", "StartLimitBurst=5"},
};

constexpr std::array kUnitService = {
    UnitLine{"Reports start, pause, continue and stop through sd_notify.", "Type=notify"},
    UnitLine{"Only the service's own process may report its state.", "NotifyAccess=main"},
    UnitLine{"The stop ends the current pass and waits for the mail gateway.", "TimeoutStopSec=30"},
    UnitLine{"A crash or a signal starts the service again.", "Restart=on-failure"},
    UnitLine{"Half a minute between two starts.", "RestartSec=30"},
    UnitLine{"Exit status 78 is a configuration that cannot be loaded: a restart would not mend it.",
             "RestartPreventExitStatus=78"},
    UnitLine{"A temporary folder of its own, hidden from and hiding other software's.", "PrivateTmp=yes"},
    UnitLine{"Neither the service nor anything it starts gains privileges through set-user-ID files.",
             "NoNewPrivileges=yes"},
    UnitLine{"/usr, /boot and /etc are read-only; the documents' folders may lie anywhere else.", "ProtectSystem=full"},
    UnitLine{"Except the configuration, which the service restores from its backup.", "ReadWritePaths=-/etc/zel"},
    UnitLine{"Home folders stay reachable: the configured folders may lie there.", "ProtectHome=no"},
    UnitLine{"Kernel tunables in /proc/sys and /sys are read-only.", "ProtectKernelTunables=yes"},
    UnitLine{"No kernel modules are loaded.", "ProtectKernelModules=yes"},
    UnitLine{"The kernel log is out of reach.", "ProtectKernelLogs=yes"},
    UnitLine{"The control group tree is read-only.", "ProtectControlGroups=yes"},
    UnitLine{"The system clock is not set.", "ProtectClock=yes"},
    UnitLine{"The host name is not changed.", "ProtectHostname=yes"},
    UnitLine{"Other processes are invisible in /proc.", "ProtectProc=invisible"},
    UnitLine{"Of /proc only the processes are mounted.", "ProcSubset=pid"},
    UnitLine{"Mounts made by the service stay its own.", "PrivateMounts=yes"},
    UnitLine{"Of the devices only the terminals, to show server text messages on a text console.",
             "DevicePolicy=closed"},
    UnitLine{"The virtual consoles, written to as wall does.", "DeviceAllow=char-tty w"},
    UnitLine{"The pseudo-terminals of console sessions.", "DeviceAllow=char-pts w"},
    UnitLine{"Outgoing TLS, the mail ports, and local sockets for the journal and the buses.",
             "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6"},
    UnitLine{"No namespaces of any kind.", "RestrictNamespaces=yes"},
    UnitLine{"No real-time scheduling.", "RestrictRealtime=yes"},
    UnitLine{"No set-user-ID or set-group-ID files are made.", "RestrictSUIDSGID=yes"},
    UnitLine{"The execution domain stays as it is.", "LockPersonality=yes"},
    UnitLine{"No memory is both writable and executable.", "MemoryDenyWriteExecute=yes"},
    UnitLine{"System V and POSIX IPC objects go with the service.", "RemoveIPC=yes"},
    UnitLine{"The kernel keyring is the service's own.", "KeyringMode=private"},
    UnitLine{"System calls of the native architecture only.", "SystemCallArchitectures=native"},
    UnitLine{"The calls an ordinary system service makes, including chown and setuid (notifications).",
             "SystemCallFilter=@system-service"},
    UnitLine{"Less those that change resource limits and priorities.", "SystemCallFilter=~@resources"},
    UnitLine{"A refused call fails with EPERM instead of killing the service.", "SystemCallErrorNumber=EPERM"},
    UnitLine{"Leases for exclusive opens, mail ports below 1024, users' folders and files, and notifications run "
             "as the console's user.",
             "CapabilityBoundingSet=CAP_LEASE CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE CAP_FOWNER CAP_CHOWN CAP_SETUID "
             "CAP_SETGID"},
};

void AppendLines(std::string& text, const UnitLine* lines, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    text += "# ";
    text += lines[i].comment;
    text += "\n";
    text += lines[i].setting;
    text += "\n";
  }
}

// systemctl's last non-empty line: the reason it gives.
std::string LastLine(const std::string& output) {
  size_t end = output.find_last_not_of(" \r\n");
  if (end == std::string::npos) return {};
  size_t start = output.rfind('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return output.substr(start, end + 1 - start);
}

// Runs one systemctl step; on failure prints what it said and returns false.
bool Step(const Systemctl& systemctl, const std::vector<std::string>& arguments) {
  if (!systemctl) return true;
  std::string output;
  int status = systemctl(arguments, &output);
  if (status == 0) return true;
  std::string command = "systemctl";
  for (const auto& a : arguments) command += " " + a;
  const std::string reason = LastLine(output);
  std::printf("%s failed, exit status %d%s%s\n", command.c_str(), status, reason.empty() ? "" : ": ", reason.c_str());
  return false;
}

// systemctl, when systemd runs here and the unit folder is its own.
Systemctl SystemctlHere(const UnitFolders& folders) {
  if (folders.redirected || !SystemdBooted()) return nullptr;
  return [](const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunCapturingOutput(argv, output);
  };
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace

UnitFolders CurrentUnitFolders() {
  UnitFolders folders;
  const char* local = std::getenv("ZEL_UNIT_DIR");
  folders.redirected = local && *local;
  folders.local = folders.redirected ? local : kDefaultUnitDir;
  const char* package = std::getenv("ZEL_PACKAGE_UNIT_DIR");
  folders.package = package && *package ? package : kDefaultPackageUnitDir;
  return folders;
}

std::string ServiceCommandLine(const std::string& program, const std::optional<std::string>& configPath) {
  std::string line = SystemdWord(program);
  if (configPath) line += " -c " + SystemdWord(*configPath);
  return line;
}

std::string UnitFileText(const std::string& commandLine) {
  std::string text = std::string("[Unit]\n") + "Description=" + kDisplayName + "\n";
  AppendLines(text, kUnitHead.data(), kUnitHead.size());
  text += "\n[Service]\n";
  text += "ExecStart=" + commandLine + "\n";
  AppendLines(text, kUnitService.data(), kUnitService.size());
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

void InstallService(const std::optional<std::string>& configPath, const UnitFolders& folders,
                    const Systemctl& systemctl) {
  std::optional<std::string> program = ProgramPath();
  if (!program) {
    std::printf("Cannot install service, error %d\n", errno);
    return;
  }
  if (!IsAdministrator()) {
    std::fputs("Please, run as administrator\n", stdout);
    return;
  }
  const std::string unit = folders.local + "/" + kUnitName;
  if (Exists(unit) || Exists(folders.package + "/" + kUnitName)) {
    std::printf("CreateService failed, error 0x%08x\n", unsigned(EEXIST));
    return;
  }
  // systemd runs the service from /: a relative configuration path is made absolute here.
  std::optional<std::string> config = configPath;
  if (config && !config->empty() && (*config)[0] != '/') {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(*config, ec);
    if (!ec) config = absolute.lexically_normal().string();
  }
  // The configuration backup's folder belongs to the installation: the service never creates it.
  const std::string stateDir = std::filesystem::path(BackupLocation()).parent_path().string();
  if (!stateDir.empty() && ::mkdir(stateDir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::printf("CreateService failed, error 0x%08x\n", unsigned(errno));
    return;
  }
  int error = 0;
  if (!WriteFileAtomically(unit, UnitFileText(ServiceCommandLine(*program, config)), &error)) {
    if (error == EACCES || error == EPERM)
      std::fputs("Please, run as administrator\n", stdout);
    else
      std::printf("CreateService failed, error 0x%08x\n", unsigned(error));
    return;
  }
  if (!Step(systemctl, {"daemon-reload"}) || !Step(systemctl, {"enable", kUnitName})) {
    // Nothing half-done: a unit systemd would not enable is taken back.
    ::unlink(unit.c_str());
    std::string ignored;
    if (systemctl) systemctl({"daemon-reload"}, &ignored);
    return;
  }
  std::fputs("Service installed successfully\n", stdout);
}

void UninstallService(const UnitFolders& folders, const Systemctl& systemctl) {
  if (!IsAdministrator()) {
    std::fputs("Please, run as administrator\n", stdout);
    return;
  }
  if (Exists(folders.package + "/" + kUnitName)) {
    std::printf("The service %s belongs to the zel package: remove the package instead\n", kServiceName);
    return;
  }
  const std::string unit = folders.local + "/" + kUnitName;
  if (!Exists(unit)) {
    std::printf("OpenService failed, error %d\n", ENOENT);
    return;
  }
  // A stop that fails (the service was not running) is no reason to keep the unit.
  if (systemctl) {
    std::string ignored;
    systemctl({"stop", kUnitName}, &ignored);
  }
  if (!Step(systemctl, {"disable", kUnitName})) return;
  if (::unlink(unit.c_str()) != 0) {
    std::printf("DeleteService failed, error %d\n", errno);
    return;
  }
  Step(systemctl, {"daemon-reload"});
  std::fputs("Service uninstalled successfully\n", stdout);
}

void InstallSystemService(const std::optional<std::string>& configPath) {
  const UnitFolders folders = CurrentUnitFolders();
  InstallService(configPath, folders, SystemctlHere(folders));
}

void UninstallSystemService() {
  const UnitFolders folders = CurrentUnitFolders();
  UninstallService(folders, SystemctlHere(folders));
}

void RegisterEventLogSource() {}  // the journal needs no registration

}  // namespace zel
