// The two reporting channels of both programs. The file channel (LogInfo ... LogDebug) writes one
// time-stamped line per message to the console in foreground mode and to the log file when one is
// attached; the event channel (EventInfo ... EventError) goes to the console in foreground mode and
// otherwise to the event sink the program installed (the system journal, a message box), which also
// sees the file channel's warnings and errors. Messages are formatted printf-style into 2048 bytes. Nothing here ever
// fails loudly.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#define ZEL_PRINTF(f, a) __attribute__((format(printf, f, a)))

namespace zel {

enum class LogLevel : char { Info = 'I', Warning = 'W', Error = 'E', Debug = 'D' };

// Process-wide switches: -d turns on debug lines; foreground mode echoes both channels to stdout.
void SetDebugLogging(bool on);
bool DebugLogging();
void SetForeground(bool on);
bool Foreground();

// Where complete file-channel lines go; the service attaches one at start and detaches it at stop.
// A line is written whole in one step, so a process that dies loses no written line; lines reach
// stable storage at every warning or error line, at every SyncLogFile and when the writer closes.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual void writeLine(std::string_view line) = 0;
  virtual void sync() {}
};
void AttachLogFile(std::unique_ptr<LogWriter> writer);  // nullptr closes the current one
// Puts the lines written so far on stable storage (the service calls it at the end of every pass).
void SyncLogFile();

// Where event-channel messages go outside foreground mode (none: nowhere). A sink may also take
// the warning and error lines of the file channel, so that the service manager shows why the
// service is unhappy; by default it ignores them.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void report(LogLevel level, const std::string& message) = 0;
  virtual void fileLine(LogLevel /*level*/, const std::string& /*message*/) {}
};
void SetEventSink(std::shared_ptr<EventSink> sink);

// The insertion strings of an event: one, plus one for every line feed followed by another
// character; with several, each line feed ends a string and is dropped.
std::vector<std::string> SplitInsertionStrings(const std::string& message);

// "[%c] %02d.%02d.%04d %02d:%02d:%02d %s\r\n" for the current local time.
std::string FormatLogLine(LogLevel level, std::string_view message);

void LogInfo(const char* format, ...) ZEL_PRINTF(1, 2);
void LogWarning(const char* format, ...) ZEL_PRINTF(1, 2);
void LogError(const char* format, ...) ZEL_PRINTF(1, 2);
void LogDebug(const char* format, ...) ZEL_PRINTF(1, 2);

void EventInfo(const char* format, ...) ZEL_PRINTF(1, 2);
void EventWarning(const char* format, ...) ZEL_PRINTF(1, 2);
void EventError(const char* format, ...) ZEL_PRINTF(1, 2);

}  // namespace zel
