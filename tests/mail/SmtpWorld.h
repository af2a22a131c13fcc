// zel as a real process with its mail gateway on free ports, beside the test exchange server, and
// mails as clients write them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "aslib/CPBase64.h"
#include "tests/engine/ExchangeWorld.h"

namespace zel::test {

inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A zel with its mail gateway on free ports, and the test exchange server behind it.
struct SmtpWorld {
  int smtpPort = FreePort(), pop3Port = FreePort();
  std::unique_ptr<ExchangeWorld> world;
  std::unique_ptr<ChildProcess> zel;

  explicit SmtpWorld(bool byLogin = false) {
    WorldOptions options;
    options.subdirs = byLogin;
    options.byLogin = byLogin;
    options.extraConfig = "<Mailserver enabled='true' smtp_port='" + std::to_string(smtpPort) + "' pop3_port='" +
                          std::to_string(pop3Port) + "'/>";
    world = std::make_unique<ExchangeWorld>(options);
    start();
  }
  void start() {
    zel = world->StartZel();
    world->WaitFor([&] { return Accepts(smtpPort); }, 20);
  }
  std::string dir(const std::string& sub) { return world->dir / sub; }
  // Runs a client to its end; its exit status, its output in `output`.
  int run(const std::vector<std::string>& argv, std::string* output = nullptr) {
    static int n = 0;
    const std::string out = world->dir / ("client-" + std::to_string(++n) + ".out");
    ChildProcess client(argv, {}, out);
    const int status = client.wait(std::chrono::seconds(120));
    if (output) *output = ReadFile(out);
    return status;
  }
  // The document's bytes wherever it went: outbound (or a login's subfolder), the queue, or the
  // server; none when it is nowhere.
  std::optional<std::string> landed(const std::string& id) {
    namespace fs = std::filesystem;
    for (const std::string& place : {"base/out/" + id + ".xml", "base/out/alice/" + id + ".xml",
                                     "base/queue/" + id + ".xml", "mb/alice/posted/" + id + ".xml"})
      if (fs::exists(world->dir / place)) return ReadFile(world->dir / place);
    return std::nullopt;
  }
};

inline std::string Document(const std::string& id, size_t padding = 100) {
  return ExchangeWorld::Envelope("PID-A", id, padding);
}

// A mail as a client would write it, the document attached in Base64.
inline std::string MailWith(const std::string& doc, const std::string& subject = "EDS") {
  const std::string text = CPBase64().encode(doc);
  std::string lines;
  for (size_t at = 0; at < text.size(); at += 76) lines += text.substr(at, 76) + "\r\n";
  return "From: declarant@customs.example\r\nTo: gateway@edh.example\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=_b\"\r\n\r\n"
         "--=_b\r\nContent-Type: text/plain\r\n\r\nDeclaration attached.\r\n"
         "--=_b\r\nContent-Type: application/xml\r\nContent-Disposition: attachment; filename=\"d.xml\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         lines + "--=_b--\r\n";
}

}  // namespace zel::test
