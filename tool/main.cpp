// zel-config: the configuration tool. Loads Qt's own Russian texts for the standard buttons,
// re-runs itself as root through pkexec when needed, and hands over to RunConfigTool.
#include <sys/stat.h>

#include <QApplication>
#include <QLocale>
#include <clocale>

#include "platform/Files.h"
#include "tool/CPConfigApp.h"
#include "tool/Prompter.h"

int main(int argc, char** argv) {
  // Every file this program writes holds passwords: none of them is ever readable by others.
  ::umask(077);
  std::setlocale(LC_ALL, "");
  QApplication app(argc, argv);
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  zel::LoadQtRussianTexts(app);

  zel::QtPrompter prompter;
  if (auto done = zel::ElevateIfNeeded(prompter, argc, argv)) return *done;
  zel::ConfigLocation location = zel::LocateConfig(zel::ProgramPath());
  if (!location.problem.isEmpty()) {
    prompter.error(nullptr, location.problem);
    return 1;
  }
  return zel::RunConfigTool(prompter, location.path, {});
}
