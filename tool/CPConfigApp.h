// The whole run of zel-config: find config.xml (beside the program, /etc/zel for a program under
// /usr), load it, show the main dialog, and after "Сохранить" write the file whole and restart the
// service. A file that cannot be written is reported and the service is left alone. Nothing is
// written and the service is not touched when the dialog is closed any other way.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/CPConfig.h"

namespace zel {

class CPConfigDlg;
class Prompter;
class ServiceManager;

// The configuration file for a program at `programPath`, or the start-up message that says why
// there is none ("Cannot get default directory", "Got wrong default directory").
struct ConfigLocation {
  std::string path;
  QString problem;
};
ConfigLocation LocateConfig(const std::optional<std::string>& programPath);

// Loads the file: empty on success, otherwise the message of the box to show.
QString LoadForTool(CPConfig& config, const std::string& path);

// Writes the model as the whole file; empty on success, otherwise the message of the box.
QString SaveConfig(const CPConfig& config, const std::string& path);

// Stop, wait, 3000 ms, start; each failure shown with its errno value.
void RestartService(ServiceManager& manager, Prompter& prompter);

// Re-runs the program through pkexec when it is not root. Returns the exit code when this process
// is done (the elevated run finished, or the error box was shown), nothing when it runs on as root.
std::optional<int> ElevateIfNeeded(Prompter& prompter, int argc, char** argv);

struct ToolHooks {
  std::function<int(CPConfigDlg&)> runDialog;
  std::function<std::unique_ptr<ServiceManager>()> serviceManager;
};

// Start-up to end; the program's exit code.
int RunConfigTool(Prompter& prompter, const std::string& configPath, const ToolHooks& hooks);

}  // namespace zel
