#include "service/CommandLine.h"

#include <array>
#include <string_view>

#include "common/Log.h"

namespace zel {
namespace {

struct Option {
  std::string_view shortName, longName;
  Action action;
};

constexpr std::array<Option, 7> kActions = {{
    {"-i", "--install", Action::Install},
    {"-u", "--uninstall", Action::Uninstall},
    {"-f", "--foreground", Action::Foreground},
    {"-g", "--generate-config", Action::Generate},
    {"-v", "--version", Action::Version},
    {"-h", "--help", Action::Help},
    {"-ev", "-ev", Action::EventSource},
}};

// Which action wins when several are switched on.
constexpr std::array<Action, 7> kPrecedence = {Action::Help,      Action::Version,   Action::Generate,
                                               Action::Install,   Action::Uninstall, Action::EventSource,
                                               Action::Foreground};

}  // namespace

const char* const kHelpText =
    "Usage: ZEL [options], where options are\n"
    "-c, --config [file]     XML config file (default set to config.xml)\n"
    "-i, --install           install service\n"
    "-u, --uninstall         uninstall service\n"
    "-f, --foreground        foreground mode\n"
    "-d, --debug             log debug mode\n"
    "-g, --generate-config   generate fresh config file\n"
    "-v, --version           print version\n"
    "-h, --help              this help\n";

std::string VersionLine() { return std::string(kDisplayName) + " v. " + kVersion + "\n"; }

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  bool on[kPrecedence.size() + 1] = {};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "-c" || arg == "--config") {
      if (i + 1 < arguments.size()) result.configPath = arguments[++i];
      continue;
    }
    if (arg == "-d" || arg == "--debug") {
      result.debug = true;
      SetDebugLogging(true);
      continue;
    }
    for (const Option& option : kActions)
      if (arg == option.shortName || arg == option.longName) on[size_t(option.action)] = true;
  }
  for (Action action : kPrecedence) {
    if (on[size_t(action)]) {
      result.action = action;
      break;
    }
  }
  return result;
}

}  // namespace zel
