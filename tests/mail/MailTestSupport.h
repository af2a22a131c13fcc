// A mail session over one end of a socket pair, with the other end in the test's hands, and
// accounts with decrypted passwords as a loaded configuration has them.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "mail/MailSession.h"
#include "platform/Listeners.h"

namespace zel::test {

inline std::shared_ptr<CPConfigAccount> Account(const std::string& login, const std::string& password,
                                                const std::string& participant = "PID") {
  auto a = std::make_shared<CPConfigAccount>();
  a->login = login;
  a->ParticipantID = participant;
  a->plainPassword = SecretString(password);
  return a;
}

// A session on one end of a socket pair; `peer` is the client's end.
struct SessionPair {
  explicit SessionPair(std::vector<std::shared_ptr<CPConfigAccount>> accounts = {}, CPConfigPaths folders = {},
                       std::shared_ptr<MailerShared> shared = std::make_shared<MailerShared>()) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    peer = fds[1];
    session = std::make_unique<MailSession>(TcpConnection::Adopt(fds[0], "127.0.0.1", 4242), "127.0.0.1", 4242,
                                            std::move(accounts), std::move(folders), std::move(shared));
  }
  ~SessionPair() {
    if (peer >= 0) ::close(peer);
  }
  void Send(const std::string& bytes) { (void)::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Everything that arrives until nothing more comes for `quietMs`.
  std::string Receive(int quietMs = 200) {
    std::string got;
    char piece[65536];
    pollfd p{peer, POLLIN, 0};
    while (::poll(&p, 1, quietMs) > 0) {
      ssize_t n = ::recv(peer, piece, sizeof piece, 0);
      if (n <= 0) break;
      got.append(piece, size_t(n));
    }
    return got;
  }
  void ClosePeer() {
    ::close(peer);
    peer = -1;
  }
  std::unique_ptr<MailSession> session;
  int peer = -1;
};

}  // namespace zel::test
