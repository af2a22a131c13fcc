#include "service/ServiceLog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/Log.h"
#include "platform/ServiceHost.h"

namespace zel {

std::string RotatedLogName(const std::string& logfile, const struct tm& when, int attempt) {
  size_t cut = logfile.rfind('/');
  std::string name = cut == std::string::npos ? logfile : logfile.substr(0, cut + 1);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d-%02d-%02d-%02d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday,
                when.tm_hour, when.tm_min, when.tm_sec);
  name += stamp;
  if (attempt > 1) name += "." + std::to_string(attempt);
  return name + ".log";
}

void OpenServiceLog(const std::optional<std::string>& logfile) {
  if (!logfile) {
    EventWarning("Cannot open log file %s", "(null)");
    return;
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Move the previous log aside; a name already taken (two starts in one second) takes the next.
  // When it cannot be moved, its lines are kept and the new ones written after them.
  bool truncate = false;
  int error = 0;
  for (int attempt = 1; attempt <= 1000; ++attempt) {
    if (RenameNoReplace(*logfile, RotatedLogName(*logfile, local, attempt), &error) || error == ENOENT) {
      truncate = true;  // moved aside, or there was no previous log
      break;
    }
    if (error != EEXIST) break;
  }
  std::unique_ptr<LogWriter> file = OpenLogFile(*logfile, truncate, &error);
  if (!file) {
    EventWarning("Cannot open log file %s", logfile->c_str());
    return;
  }
  AttachLogFile(std::move(file));
}

void CloseServiceLog() { AttachLogFile(nullptr); }

}  // namespace zel
