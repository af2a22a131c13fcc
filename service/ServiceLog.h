// The service's log file: the previous log is moved aside to a time-stamped name at every start
// (never over an existing one), then a new log is begun.
#pragma once

#include <optional>
#include <string>

namespace zel {

// Rotates and opens the log named by `logfile`; warns on the event channel when there is none.
void OpenServiceLog(const std::optional<std::string>& logfile);
void CloseServiceLog();

// Where a log is moved aside to at `when` (local time); `attempt` > 1 for a second start within
// the same second: "2024-03-05-09-07-03.log", then "2024-03-05-09-07-03.2.log" and so on.
std::string RotatedLogName(const std::string& logfile, const struct tm& when, int attempt);

}  // namespace zel
