// zel as a real process with its mail gateway on free ports of 127.0.0.1, a base folder whose
// config.xml has the accounts Alice (login "Alice") and bob, mailboxes by login (in/Alice, in/bob)
// unless told otherwise, and a raw POP3 client that reads whole responses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

#include "config/PasswordCipher.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel::test {

// A port nobody listens on right now.
inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  socklen_t n = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &n);
  ::close(fd);
  return ntohs(at.sin_port);
}

inline std::string Document(const std::string& id, const std::string& body = "<Body>payload</Body>",
                            const std::string& sender = "smtp://Mail.Example.RU/Customs",
                            const std::string& receiver = "smtp://broker.example/Alice") {
  return "<?xml version=\"1.0\"?><ed:Envelope xmlns:ed='urn:e'><ed:EDHeader><ed:ParticipantID>PID-A"
         "</ed:ParticipantID></ed:EDHeader><ed:RoutingInf>" +
         (id.empty() ? std::string() : "<ed:EnvelopeID>" + id + "</ed:EnvelopeID>") + "<ed:SenderInformation>" +
         sender + "</ed:SenderInformation><ed:ReceiverInformation>" + receiver +
         "</ed:ReceiverInformation></ed:RoutingInf>" + body + "</ed:Envelope>";
}

struct MailWorldOptions {
  bool subdirs = true;
  int smtpPort = 0;  // 0: a free one
};

class MailWorld {
 public:
  explicit MailWorld(MailWorldOptions options = {}) : options_(options) {
    for (const char* f :
         {"base/in/Alice", "base/in/bob", "base/out", "base/bad", "base/queue", "base/temp", "base/log", "base/state"})
      std::filesystem::create_directories(dir / f);
    std::filesystem::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "base/zel");
    smtpPort = options.smtpPort ? options.smtpPort : FreePort();
    do pop3Port = FreePort();
    while (pop3Port == smtpPort);
    WriteFile(dir / "base/config.xml", Config());
  }

  std::string Config(const std::string& server = "<Server port='1' list='/l' get='/g' post='/p' remove='/r'/>") {
    auto account = [](const char* pid, const char* login, const char* password) {
      return std::string("<Account name='") + login + "' ParticipantID='" + pid + "' login='" + login + "' password='" +
             *EncryptText(std::string(login), std::string_view(password)) + "'/>";
    };
    return "<config><Basedir path='" + (dir / "base") +
           "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
           "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/><Logfile path='$basedir/log/zel.log'/>"
           "<Subdirs enabled='" +
           (options_.subdirs ? "true" : "false") + "' bylogin='true'/><Accounts>" +
           account("PID-A", "Alice", "secretA") + account("PID-B", "bob", "secretB") + "</Accounts>" + server +
           "<Mailserver enabled='true' smtp_port='" + std::to_string(smtpPort) + "' pop3_port='" +
           std::to_string(pop3Port) + "'/></config>";
  }

  // Puts a document in place under its name at once, as the engine's delivery does. Its last
  // access time lies a day ahead, in the order of the calls, so the listing order is the order of
  // the calls and reads (relatime) do not move it.
  std::string Put(const std::string& folder, const std::string& name, const std::string& bytes) {
    const std::string path = dir / ("base/" + folder + "/" + name);
    WriteFile(path + ".part", bytes);
    std::filesystem::rename(path + ".part", path);
    timespec times[2] = {{::time(nullptr) + 86400 + ++puts_, 0}, {0, UTIME_OMIT}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  std::unique_ptr<ChildProcess> Start(std::vector<std::string> env = {}) {
    env.insert(env.end(), {"ZEL_SERVER_HOSTS=127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1",
                           "ZEL_STATE_DIR=" + (dir / "base/state"), "NOTIFY_SOCKET="});
    std::vector<std::string> argv = launcher_;
    argv.insert(argv.end(), {dir / "base/zel", "-f", "-d", "-c", dir / "base/config.xml"});
    auto zel = std::make_unique<ChildProcess>(argv, env, dir / "zel.out");
    WaitFor([&] { return Listening(pop3Port) || Contains(Log(), "Mailer thread stopped"); }, 10);
    return zel;
  }
  // From now on zel runs as the user nobody (uid and gid 65534, through util-linux's setpriv), with
  // the base folder and everything in it given to that user. Only root can do this.
  void RunAsNobody() {
    ::chmod(dir.path().c_str(), 0755);
    // The folders above (the test run's own temporary folder) let it pass.
    for (std::filesystem::path up = std::filesystem::path(dir.path()).parent_path(); up != up.root_path();
         up = up.parent_path()) {
      struct stat st {};
      if (::stat(up.c_str(), &st) == 0 && !(st.st_mode & S_IXOTH)) ::chmod(up.c_str(), (st.st_mode & 07777) | S_IXOTH);
    }
    ::lchown((dir / "base").c_str(), kNobody, kNobody);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "base"))
      ::lchown(entry.path().c_str(), kNobody, kNobody);
    launcher_ = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  static constexpr uid_t kNobody = 65534;

  // Whether some socket of this machine listens on the TCP port (from /proc/net/tcp).
  static bool Listening(int port) {
    char local[16];
    std::snprintf(local, sizeof local, ":%04X ", port);
    std::istringstream table(ReadFile("/proc/net/tcp"));
    for (std::string line; std::getline(table, line);)
      if (line.find(local) == 14 && line.compare(34, 2, "0A") == 0) return true;
    return false;
  }
  std::string Log() { return ReadFile(dir / "base/log/zel.log"); }
  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }
  bool WaitForLog(const std::string& text, int seconds = 10) {
    return WaitFor([&] { return Contains(Log(), text); }, seconds);
  }

  ScratchDir dir;
  int smtpPort = 0, pop3Port = 0;

 private:
  MailWorldOptions options_;
  int puts_ = 0;
  std::vector<std::string> launcher_;
};

// A POP3 client on raw bytes: whole single-line or multi-line responses, exactly as sent.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(uint16_t(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  ~RawClient() { Close(); }
  bool connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& bytes) { (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // One response: a line, or with `multi` (and a "+OK" first line) up to the line ".".
  std::string Response(bool multi = false, int limitMs = 5000) {
    auto complete = [&] {
      if (pending_.find("\r\n") == std::string::npos) return std::string::npos;
      if (!multi || pending_.compare(0, 3, "+OK") != 0) return pending_.find("\r\n") + 2;
      if (pending_.compare(pending_.find("\r\n") + 2, 3, ".\r\n") == 0) return pending_.find("\r\n") + 5;
      size_t end = pending_.find("\r\n.\r\n");
      return end == std::string::npos ? end : end + 5;
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (complete() == std::string::npos && std::chrono::steady_clock::now() < until) {
      if (!Receive(50)) break;
    }
    size_t end = complete();
    if (end == std::string::npos) end = pending_.size();
    std::string response = pending_.substr(0, end);
    pending_.erase(0, end);
    return response;
  }
  std::string Command(const std::string& line, bool multi = false) {
    Send(line + "\r\n");
    return Response(multi);
  }
  // True when the server closes the connection within `limitMs`.
  bool ClosedWithin(int limitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char c[4096];
        ssize_t n = ::recv(fd_, c, sizeof c, 0);
        if (n <= 0) return true;
        pending_.append(c, size_t(n));
      }
    }
    return false;
  }
  std::string pending() const { return pending_; }

 private:
  bool Receive(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return true;
    char c[65536];
    ssize_t n = ::recv(fd_, c, sizeof c, 0);
    if (n <= 0) return false;
    pending_.append(c, size_t(n));
    return true;
  }
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

}  // namespace zel::test
