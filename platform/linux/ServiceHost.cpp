// systemd-facing services: sd_notify, the journal, a sigwait thread for the control signals, an
// sd-bus thread for logind's sleep signal, helper programs through posix_spawn, and the log file.
#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zel {

bool StartedByServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket && *socket;
}

void NotifyServiceManager(const std::string& state) { sd_notify(0, state.c_str()); }

bool RunAsService(const std::vector<std::string>& programArguments,
                  const std::function<void(const std::vector<std::string>& startArguments)>& serviceMain) {
  if (!StartedByServiceManager()) return false;
  serviceMain(programArguments);
  return true;
}

bool SystemdBooted() { return sd_booted() > 0; }

bool IsAdministrator() { return geteuid() == 0; }

int RunCapturingOutput(const std::vector<std::string>& argv, std::string* output) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned == 0) {
    char block[4096];
    for (;;) {
      ssize_t got = ::read(pipeFds[0], block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      if (output) output->append(block, size_t(got));
    }
  }
  ::close(pipeFds[0]);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

constexpr int kControlSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2};

class LinuxControlSignals final : public ControlSignalThread {
 public:
  LinuxControlSignals(std::function<void(ControlSignal)> handler, bool sleepSignals) : handler_(std::move(handler)) {
    // A lease break (SIGIO) or a peer that hung up (SIGPIPE) must never end the service.
    signal(SIGIO, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&set_);
    for (int s : kControlSignals) sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    signals_ = std::thread([this] { waitSignals(); });
    if (sleepSignals) sleep_ = std::thread([this] { watchSleep(); });
  }
  ~LinuxControlSignals() override {
    quit_ = true;
    if (signals_.joinable()) signals_.join();
    if (sleep_.joinable()) sleep_.join();
  }

 private:
  void waitSignals() {
    timespec slice{0, 200 * 1000 * 1000};
    while (!quit_) {
      int s = sigtimedwait(&set_, nullptr, &slice);
      if (s == SIGTERM || s == SIGINT)
        handler_(ControlSignal::Stop);
      else if (s == SIGUSR1)
        handler_(ControlSignal::Pause);
      else if (s == SIGUSR2)
        handler_(ControlSignal::Continue);
    }
  }

  static int OnPrepareForSleep(sd_bus_message* m, void* data, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
    auto* self = static_cast<LinuxControlSignals*>(data);
    self->handler_(sleeping ? ControlSignal::Suspend : ControlSignal::Resume);
    return 0;
  }

  void watchSleep() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return;  // no system bus: nothing to watch
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", OnPrepareForSleep, this) >= 0) {
      while (!quit_) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, 200 * 1000);
      }
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }

  std::function<void(ControlSignal)> handler_;
  sigset_t set_{};
  std::atomic<bool> quit_{false};
  std::thread signals_, sleep_;
};

// Journal entry: the first insertion string is MESSAGE; the rest and the event identifier are
// fields of their own.
class JournalSink final : public EventSink {
 public:
  void report(LogLevel level, const std::string& message) override {
    struct Kind {
      int priority;
      const char* identifier;
    };
    const Kind kind = level == LogLevel::Error     ? Kind{3, "0xC00203E8"}
                      : level == LogLevel::Warning ? Kind{4, "0x800207D0"}
                                                   : Kind{6, "0x40020BB8"};
    std::vector<std::string> strings = SplitInsertionStrings(message);
    std::vector<std::string> fields = {"MESSAGE=" + strings[0], "PRIORITY=" + std::to_string(kind.priority),
                                       "SYSLOG_IDENTIFIER=CarvossService", std::string("EVENT_ID=") + kind.identifier};
    for (size_t i = 1; i < strings.size(); ++i)
      fields.push_back("INSERTION_STRING_" + std::to_string(i + 1) + "=" + strings[i]);
    Send(fields);
  }
  // A warning or error line of the log file, with its priority, so systemctl status shows it.
  void fileLine(LogLevel level, const std::string& message) override {
    Send({"MESSAGE=" + message, std::string("PRIORITY=") + (level == LogLevel::Error ? "3" : "4"),
          "SYSLOG_IDENTIFIER=CarvossService"});
  }

 private:
  static void Send(std::vector<std::string> fields) {
    std::vector<iovec> iov;
    for (auto& f : fields) iov.push_back({f.data(), f.size()});
    sd_journal_sendv(iov.data(), int(iov.size()));
  }
};

class FileLog final : public LogWriter {
 public:
  explicit FileLog(int fd) : fd_(fd) {}
  ~FileLog() override {
    ::fdatasync(fd_);
    ::close(fd_);
  }
  // One write per line (O_APPEND); the syncs come at the points the channel chooses.
  void writeLine(std::string_view line) override {
    size_t done = 0;
    while (done < line.size()) {
      ssize_t put = ::write(fd_, line.data() + done, line.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return;
      done += size_t(put);
    }
  }
  void sync() override { ::fdatasync(fd_); }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<ControlSignalThread> StartControlSignalThread(std::function<void(ControlSignal)> handler,
                                                              bool watchSleep) {
  return std::make_unique<LinuxControlSignals>(std::move(handler), watchSleep);
}

std::shared_ptr<EventSink> MakeJournalSink() { return std::make_shared<JournalSink>(); }

std::shared_ptr<EventSink> MakeServiceEventSink() { return MakeJournalSink(); }

std::unique_ptr<LogWriter> OpenLogFile(const std::string& path, bool truncate, int* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  return std::make_unique<FileLog>(fd);
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing name just the same.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return true;
    }
  }
  if (error) *error = errno;
  return false;
}

}  // namespace zel
