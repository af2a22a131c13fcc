#include "tool/CPConfigApp.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <vector>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "platform/ServiceControl.h"
#include "tool/CPConfigDlg.h"
#include "tool/ConfigForm.h"
#include "tool/Prompter.h"
#include "tool/ToolTexts.h"

namespace zel {
namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

// Catches the reader's own error report, whose text the parse-error box shows.
class CapturingSink : public EventSink {
 public:
  void report(LogLevel, const std::string& message) override { last = message; }
  std::string last;
};

}  // namespace

ConfigLocation LocateConfig(const std::optional<std::string>& programPath) {
  if (!programPath || programPath->empty()) return {{}, Q(texts::kNoProgramPath)};
  size_t cut = programPath->rfind('/');
  if (cut == std::string::npos) return {{}, Q(texts::kWrongProgramPath)};
  std::string folder = programPath->substr(0, cut + 1);
  if (folder.starts_with("/usr/")) return {"/etc/zel/config.xml", {}};
  return {folder + "config.xml", {}};
}

QString LoadForTool(CPConfig& config, const std::string& path) {
  auto sink = std::make_shared<CapturingSink>();
  SetEventSink(sink);
  int result = LoadConfig(config, path);
  SetEventSink(nullptr);
  const QString file = QString::fromStdString(path);
  if (result == 1) return Q(texts::kCannotOpenConfig).arg(file);
  if (result == 2) return QString::fromStdString(sink->last);
  return {};
}

QString SaveConfig(const CPConfig& config, const std::string& path) {
  int error = 0;
  if (WriteConfigFile(config, path, &error)) return {};
  return Q(texts::kCannotWriteConfig).arg(QString::fromStdString(path), QString::fromLocal8Bit(std::strerror(error)));
}

void RestartService(ServiceManager& manager, Prompter& prompter) {
  if (int code = manager.connect()) {
    prompter.error(nullptr, Q(texts::kOpenSCManagerFailed).arg(code));
    return;
  }
  if (int code = manager.openService(texts::kServiceName)) {
    prompter.error(nullptr, Q(texts::kOpenServiceFailed).arg(code));
    return;
  }
  // A refused stop (a service that is not running, say) is no reason not to start it.
  manager.stop();
  manager.sleep(3000);
  if (int code = manager.start()) prompter.error(nullptr, Q(texts::kStartServiceFailed).arg(code));
}

std::optional<int> ElevateIfNeeded(Prompter& prompter, int argc, char** argv) {
  if (::geteuid() == 0) return std::nullopt;
  const QString pkexec = QStandardPaths::findExecutable("pkexec");
  if (pkexec.isEmpty()) {
    prompter.error(nullptr, Q(texts::kNeedRoot));
    return 1;
  }
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    prompter.error(nullptr, Q(texts::kNoProgramPath));
    return 1;
  }
  self[n] = '\0';
  const QByteArray pkexecPath = pkexec.toLocal8Bit();
  std::vector<char*> args = {const_cast<char*>(pkexecPath.constData()), self};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) status = 127 << 8;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // 126: the authentication dialog was dismissed; 127: not authorized, or no polkit to ask.
  if (code == 126 || code == 127 || !WIFEXITED(status)) {
    prompter.error(nullptr, Q(texts::kElevationFailed).arg(code));
    return 1;
  }
  return code;
}

int RunConfigTool(Prompter& prompter, const std::string& configPath, const ToolHooks& hooks) {
  CPConfig loaded;
  if (QString problem = LoadForTool(loaded, configPath); !problem.isEmpty()) {
    prompter.error(nullptr, problem);
    return 1;
  }
  CPConfigDlg dialog(prompter, FormFromConfig(loaded));
  int answer = hooks.runDialog ? hooks.runDialog(dialog) : dialog.exec();
  if (answer != QDialog::Accepted) return 0;
  CPConfig fresh = ConfigFromForm(dialog.form(), loaded);
  if (QString problem = SaveConfig(fresh, configPath); !problem.isEmpty()) {
    prompter.error(nullptr, problem);
    return 1;
  }
  auto manager = hooks.serviceManager ? hooks.serviceManager() : MakeSystemServiceManager();
  RestartService(*manager, prompter);
  return 0;
}

}  // namespace zel
