// zel -g: a fresh config.xml beside the program, folders under "$basedir", written whole or not at
// all (an existing file is replaced only once the new one is on disk), readable by its owner only
// since it will hold passwords.
#include <cstdio>
#include <cstring>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "platform/Files.h"
#include "service/CommandLine.h"

namespace zel {

void GenerateConfig() {
  std::optional<std::string> program = ProgramPath();
  if (!program) {
    std::fputs("Cannot get default directory\n", stdout);
    return;
  }
  size_t cut = program->rfind('/');
  if (cut == std::string::npos) {
    std::fputs("Got wrong default directory\n", stdout);
    return;
  }
  std::string folder = program->substr(0, cut);
  std::string file = folder + "/" + kConfigFileName;

  CPConfig config;
  CPConfigPaths& p = config.paths;
  p.Basedir = folder;
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
  std::printf("Config file %s generated successfully\n", file.c_str());
}

}  // namespace zel
