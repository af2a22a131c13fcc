// A mail session over one end of a socket pair, with the other end in the test's hands, and
// accounts with decrypted passwords as a loaded configuration has them.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "mail/MailSession.h"

namespace zel::test {

class FdStream : public ByteStream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}
  ~FdStream() override { ::close(fd_); }
  int wait(bool forWrite, int timeoutMs, int* error) override {
    pollfd p{fd_, short(forWrite ? POLLOUT : POLLIN), 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) *error = errno;
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  int64_t send(const void* data, size_t n, int* error) override {
    ssize_t put = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (put < 0) *error = errno;
    return put;
  }
  int64_t recv(void* data, size_t n, int* error) override {
    ssize_t got = ::recv(fd_, data, n, MSG_DONTWAIT);
    if (got < 0) *error = errno;
    return got;
  }

 private:
  int fd_;
};

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
    session = std::make_unique<MailSession>(std::make_unique<FdStream>(fds[0]), "127.0.0.1", 4242, std::move(accounts),
                                            std::move(folders), std::move(shared));
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
