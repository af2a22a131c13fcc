// The terminal gets the message through a non-blocking write (a stuck terminal never holds the
// service); the notification is sent by a short-lived child process that has become the session's
// user, since a session bus admits only its own user.
#include "platform/Console.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace zel {
namespace {

constexpr uint64_t kBusCallMicroseconds = 5 * 1000 * 1000;
constexpr auto kChildLimit = std::chrono::seconds(8);

class LogindSessionLookup final : public ActiveSessionLookup {
 public:
  std::optional<ConsoleSession> activeSession() override {
    char* session = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &session, &uid) < 0 || !session) return std::nullopt;
    char* type = nullptr;
    char* tty = nullptr;
    sd_session_get_type(session, &type);
    sd_session_get_tty(session, &tty);
    std::optional<ConsoleSession> found;
    if (type && (std::strcmp(type, "x11") == 0 || std::strcmp(type, "wayland") == 0)) {
      found = ConsoleSession{ConsoleSession::Kind::Graphical, uid, "",
                             "unix:path=/run/user/" + std::to_string(uid) + "/bus"};
    } else if (tty && *tty) {
      found = ConsoleSession{ConsoleSession::Kind::Text, uid, std::string("/dev/") + tty, ""};
    }
    free(type);
    free(tty);
    free(session);
    return found;
  }
};

std::mutex& LookupLock() {
  static std::mutex lock;
  return lock;
}
std::shared_ptr<ActiveSessionLookup>& Lookup() {
  static std::shared_ptr<ActiveSessionLookup> lookup;
  return lookup;
}

// As wall writes: carriage return before every line feed, the title on a line of its own.
bool WriteToTerminal(const std::string& device, const std::string& title, const std::string& text) {
  int fd = ::open(device.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::string message = "\r\n" + title + "\r\n\r\n";
  for (char c : text) {
    if (c == '\n') message += '\r';
    message += c;
  }
  message += "\r\n";
  size_t done = 0;
  while (done < message.size()) {
    ssize_t put = ::write(fd, message.data() + done, message.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += size_t(put);
  }
  ::close(fd);
  return done == message.size();
}

// Runs in the child: becomes the user, then one Notify call on the user's bus. Exit status 0 when
// the notification service took it.
[[noreturn]] void NotifyAsUser(const ConsoleSession& session, const std::string& title, const std::string& text) {
  if (::getuid() != session.uid) {
    passwd entry{}, *found = nullptr;
    char names[4096];
    if (getpwuid_r(session.uid, &entry, names, sizeof names, &found) != 0 || !found) _exit(2);
    if (::initgroups(found->pw_name, found->pw_gid) != 0 || ::setgid(found->pw_gid) != 0 || ::setuid(session.uid) != 0)
      _exit(2);
  }
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, session.busAddress.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (r >= 0) {
    sd_bus_set_method_call_timeout(bus, kBusCallMicroseconds);
    // app name, replaces id, icon, summary, body, actions, hints, time-out (0: until dismissed).
    r = sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i", "zel", 0u,
                           "dialog-information", title.c_str(), text.c_str(), 0, 0, 0);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  _exit(r >= 0 ? 0 : 1);
}

bool SendNotification(const ConsoleSession& session, const std::string& title, const std::string& text) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) NotifyAsUser(session, title, text);
  const auto until = std::chrono::steady_clock::now() + kChildLimit;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::unique_ptr<ActiveSessionLookup> MakeLogindSessionLookup() { return std::make_unique<LogindSessionLookup>(); }

void SetActiveSessionLookup(std::shared_ptr<ActiveSessionLookup> lookup) {
  std::lock_guard<std::mutex> hold(LookupLock());
  Lookup() = std::move(lookup);
}

bool ShowInSession(const ConsoleSession& session, const std::string& title, const std::string& text) {
  if (session.kind == ConsoleSession::Kind::Text) return WriteToTerminal(session.terminal, title, text);
  return SendNotification(session, title, text);
}

void NotifyConsoleUser(const std::string& title, const std::string& text) {
  if (const char* record = std::getenv("ZEL_CONSOLE_RECORD"); record && *record) {
    std::ofstream(record, std::ios::app | std::ios::binary) << title << "\n" << text << "\n\x1e\n";
    return;
  }
  std::shared_ptr<ActiveSessionLookup> lookup;
  {
    std::lock_guard<std::mutex> hold(LookupLock());
    if (!Lookup()) Lookup() = MakeLogindSessionLookup();
    lookup = Lookup();
  }
  if (std::optional<ConsoleSession> session = lookup->activeSession()) ShowInSession(*session, title, text);
}

}  // namespace zel
