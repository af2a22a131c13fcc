// One lock makes every file-channel line whole, console echo included; the event channel is called
// from one thread and only reads its sink under a lock so a sink can be swapped safely; the file
// channel hands its warnings and errors to the sink too, outside the log lock.
#include "common/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace zel {
namespace {

std::atomic<bool> gDebug{false};
std::atomic<bool> gForeground{false};

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}
std::unique_ptr<LogWriter>& LogFile() {
  static std::unique_ptr<LogWriter> file;
  return file;
}
std::mutex& SinkLock() {
  static std::mutex lock;
  return lock;
}
std::shared_ptr<EventSink>& Sink() {
  static std::shared_ptr<EventSink> sink;
  return sink;
}

constexpr size_t kMessageLimit = 2048;

std::string FormatMessage(const char* format, va_list args) {
  char text[kMessageLimit];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) return {};
  return std::string(text, std::min<size_t>(size_t(n), sizeof text - 1));
}

void WriteConsole(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::shared_ptr<EventSink> CurrentSink() {
  std::lock_guard<std::mutex> hold(SinkLock());
  return Sink();
}

void FileChannel(LogLevel level, const char* format, va_list args) {
  std::string message = FormatMessage(format, args);
  std::string line = FormatLogLine(level, message);
  const bool serious = level == LogLevel::Warning || level == LogLevel::Error;
  {
    std::lock_guard<std::mutex> hold(LogLock());
    if (gForeground) WriteConsole(line);
    if (LogFile()) {
      LogFile()->writeLine(line);
      if (serious) LogFile()->sync();
    }
  }
  if (gForeground || !serious) return;
  if (std::shared_ptr<EventSink> sink = CurrentSink()) sink->fileLine(level, message);
}

void EventChannel(LogLevel level, const char* format, va_list args) {
  std::string message = FormatMessage(format, args);
  if (gForeground) {
    WriteConsole(FormatLogLine(level, message));
    return;
  }
  if (std::shared_ptr<EventSink> sink = CurrentSink()) sink->report(level, message);
}

}  // namespace

void SetDebugLogging(bool on) { gDebug = on; }
bool DebugLogging() { return gDebug; }
void SetForeground(bool on) { gForeground = on; }
bool Foreground() { return gForeground; }

void AttachLogFile(std::unique_ptr<LogWriter> writer) {
  std::unique_ptr<LogWriter> old;
  std::lock_guard<std::mutex> hold(LogLock());
  old.swap(LogFile());
  LogFile() = std::move(writer);
}

void SyncLogFile() {
  std::lock_guard<std::mutex> hold(LogLock());
  if (LogFile()) LogFile()->sync();
}

void SetEventSink(std::shared_ptr<EventSink> sink) {
  std::lock_guard<std::mutex> hold(SinkLock());
  Sink() = std::move(sink);
}

std::vector<std::string> SplitInsertionStrings(const std::string& message) {
  std::vector<std::string> strings;
  size_t start = 0;
  for (;;) {
    size_t feed = message.find('\n', start);
    if (feed == std::string::npos || feed + 1 == message.size()) {
      if (strings.empty())
        strings.push_back(message);
      else
        strings.push_back(message.substr(start, feed == std::string::npos ? std::string::npos : feed - start));
      return strings;
    }
    strings.push_back(message.substr(start, feed - start));
    start = feed + 1;
  }
}

std::string FormatLogLine(LogLevel level, std::string_view message) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%c] %02d.%02d.%04d %02d:%02d:%02d ", char(level), local.tm_mday,
                local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  std::string line(stamp);
  line.append(message);
  line.append("\r\n");
  return line;
}

#define ZEL_CHANNEL(name, channel, level) \
  void name(const char* format, ...) {    \
    va_list args;                         \
    va_start(args, format);               \
    channel(level, format, args);         \
    va_end(args);                         \
  }

ZEL_CHANNEL(LogInfo, FileChannel, LogLevel::Info)
ZEL_CHANNEL(LogWarning, FileChannel, LogLevel::Warning)
ZEL_CHANNEL(LogError, FileChannel, LogLevel::Error)
ZEL_CHANNEL(EventInfo, EventChannel, LogLevel::Info)
ZEL_CHANNEL(EventWarning, EventChannel, LogLevel::Warning)
ZEL_CHANNEL(EventError, EventChannel, LogLevel::Error)

void LogDebug(const char* format, ...) {
  if (!gDebug) return;
  va_list args;
  va_start(args, format);
  FileChannel(LogLevel::Debug, format, args);
  va_end(args);
}

}  // namespace zel
