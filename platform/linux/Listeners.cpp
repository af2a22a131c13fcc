// Linux listening and accepted sockets: SOCK_NONBLOCK on both, so a listener is drained with
// accept until EAGAIN, and poll for every wait.
#include "platform/Listeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/PollOne.h"

namespace zel {

TcpConnection::TcpConnection(int fd, std::string peerAddress, uint16_t peerPort)
    : fd_(fd), peerAddress_(std::move(peerAddress)), peerPort_(peerPort) {}

TcpConnection::~TcpConnection() {
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
}

int TcpConnection::wait(bool forWrite, int timeoutMs, int* error) { return PollOne(fd_, forWrite, timeoutMs, error); }

int64_t TcpConnection::send(const void* data, size_t n, int* error) {
  for (;;) {
    ssize_t put = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put >= 0) return put;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (error) *error = errno;
    return -1;
  }
}

std::unique_ptr<TcpConnection> TcpConnection::Adopt(int fd, std::string peerAddress, uint16_t peerPort) {
  return std::unique_ptr<TcpConnection>(new TcpConnection(fd, std::move(peerAddress), peerPort));
}

std::string TcpConnection::localAddress() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET)
    return "0.0.0.0";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

int64_t TcpConnection::recv(void* data, size_t n, int* error) {
  for (;;) {
    ssize_t got = ::recv(fd_, data, n, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (error) *error = errno;
    return -1;
  }
}

std::unique_ptr<TcpListener> TcpListener::Create(int* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return std::unique_ptr<TcpListener>(new TcpListener(fd));
}

TcpListener::~TcpListener() { ::close(fd_); }

bool TcpListener::bind(uint16_t port, int* error) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool TcpListener::listen(int backlog, int* error) {
  if (::listen(fd_, backlog) == 0) return true;
  if (error) *error = errno;
  return false;
}

std::unique_ptr<TcpConnection> TcpListener::accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd;
  do {
    fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::unique_ptr<TcpConnection>(new TcpConnection(fd, text, ntohs(peer.sin_port)));
}

unsigned TcpListener::WaitReadable(TcpListener* first, TcpListener* second, int timeoutMs) {
  pollfd p[2] = {{first ? first->fd_ : -1, POLLIN, 0}, {second ? second->fd_ : -1, POLLIN, 0}};
  if (::poll(p, 2, timeoutMs) <= 0) return 0;
  return ((p[0].revents & POLLIN) ? 1u : 0u) | ((p[1].revents & POLLIN) ? 2u : 0u);
}

}  // namespace zel
