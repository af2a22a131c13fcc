// zel's command line: every argument compared whole and exactly; the first switched-on action in the
// order help, version, generate, install, uninstall, event source, foreground wins; none hands over
// to the service manager. Parsing sets the debug switch the moment -d is seen.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/Version.h"

namespace zel {

enum class Action { ServiceManager, Help, Version, Generate, Install, Uninstall, EventSource, Foreground };

struct CommandLine {
  Action action = Action::ServiceManager;
  bool debug = false;
  std::optional<std::string> configPath;  // the argument after the last -c/--config
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);  // without the program name

inline constexpr const char* kServiceName = "CarvossService";
inline constexpr const char* kDisplayName = "Velmor Carvoss";
inline constexpr const char* kVersion = kProgramVersion;
inline constexpr const char* kConfigFileName = "config.xml";

// The nine help lines and the version line, exactly as printed.
extern const char* const kHelpText;
std::string VersionLine();

// Where the configuration and the base folder of a generated one live for the program at
// `programPath`: beside the program, or /etc/zel and /var/lib/zel for a program installed under
// /usr. None when the path has no folder.
struct ProgramLayout {
  std::string configFolder;
  std::string baseFolder;
};
std::optional<ProgramLayout> LayoutFor(const std::string& programPath);

// Writes a fresh config.xml (0600) where the layout puts it; prints the outcome.
void GenerateConfig();

}  // namespace zel
