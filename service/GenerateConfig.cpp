// zel -g: a fresh config.xml beside the program (in /etc/zel for a program under /usr), folders
// under "$basedir", written whole or not at all (an existing file is replaced only once the new
// one is on disk), readable by root alone since passwords will be stored in it.
#include <cstdio>
#include <cstring>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "platform/Files.h"
#include "service/CommandLine.h"

namespace zel {

std::optional<ProgramLayout> LayoutFor(const std::string& programPath) {
  if (programPath.rfind("/usr/", 0) == 0) return ProgramLayout{"/etc/zel", "/var/lib/zel"};
  size_t cut = programPath.rfind('/');
  if (cut == std::string::npos) return std::nullopt;
  std::string folder = programPath.substr(0, cut);
  return ProgramLayout{folder, folder};
}

void GenerateConfig() {
  std::optional<std::string> program = ProgramPath();
  if (!program) {
    std::fputs("Cannot get default directory\n", stdout);
    return;
  }
  std::optional<ProgramLayout> layout = LayoutFor(*program);
  if (!layout) {
    std::fputs("Got wrong default directory\n", stdout);
    return;
  }
  std::string file = layout->configFolder + "/" + kConfigFileName;

  CPConfig config;
  CPConfigPaths& p = config.paths;
  p.Basedir = layout->baseFolder;
  p.Bad = "$basedir/bad";
  p.Inbound = "$basedir/in";
  p.Outbound = "$basedir/out";
  p.Queue = "$basedir/queue";
  p.Temp = "$basedir/temp";
  p.Logfile = "$basedir/log/zel.log";
  config.server.port = 443;
  config.server.refresh = 60;
  config.server.list = "/EDAP/list.php";
  config.server.get = "/EDAP/get.php";
  config.server.post = "/EDAP/send.php";
  config.server.remove = "/EDAP/rm.php";

  ASVariableBuffer text;
  WriteConfig(config, text);
  int error = 0;
  if (!WriteFileAtomically(file, text.unreadBytes(), &error, FileAccess::kOwnerOnly)) {
    std::printf("Cannot write config file %s, error %d\n", file.c_str(), error);
    return;
  }
  // A fresh file holds no password yet; from here on it is root's alone.
  if (std::optional<FileOwnership> now = OwnershipOf(file)) RestoreOwnerOnly(file, {now->owner, now->group, 0600});
  std::printf("Config file %s generated successfully\n", file.c_str());
}

}  // namespace zel
