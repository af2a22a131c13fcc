#include "platform/Console.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace zel {
namespace {

void Spawn(std::vector<std::string> argv, std::vector<std::string> env) {
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) == 0) waitpid(pid, nullptr, 0);
}

}  // namespace

void NotifyConsoleUser(const std::string& title, const std::string& text) {
  if (const char* record = std::getenv("ZEL_CONSOLE_RECORD"); record && *record) {
    std::ofstream(record, std::ios::app | std::ios::binary) << title << "\n" << text << "\n\x1e\n";
    return;
  }
  char* session = nullptr;
  uid_t uid = 0;
  if (sd_seat_get_active("seat0", &session, &uid) < 0 || !session) return;  // nobody at the console
  char* type = nullptr;
  char* tty = nullptr;
  sd_session_get_type(session, &type);
  sd_session_get_tty(session, &tty);
  if (type && (std::strcmp(type, "x11") == 0 || std::strcmp(type, "wayland") == 0)) {
    if (access("/usr/bin/notify-send", X_OK) == 0 && access("/usr/sbin/runuser", X_OK) == 0) {
      std::string bus = "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/" + std::to_string(uid) + "/bus";
      Spawn({"/usr/sbin/runuser", "-u", "#" + std::to_string(uid), "--", "/usr/bin/notify-send", title, text},
            {bus, "PATH=/usr/bin:/bin"});
    }
  } else if (tty) {
    // As wall writes: straight onto the session's terminal.
    std::string device = std::string("/dev/") + tty;
    int fd = open(device.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      std::string message = "\r\n" + title + "\r\n" + text + "\r\n";
      ssize_t ignored = write(fd, message.data(), message.size());
      (void)ignored;
      close(fd);
    }
  }
  free(type);
  free(tty);
  free(session);
}

}  // namespace zel
