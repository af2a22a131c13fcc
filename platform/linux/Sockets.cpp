#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/PollOne.h"

namespace zel {

std::unique_ptr<TcpSocket> TcpSocket::Create(int timeoutMs, int* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return std::unique_ptr<TcpSocket>(new TcpSocket(fd));
}

TcpSocket::~TcpSocket() {
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
}

bool TcpSocket::connect(uint32_t address, uint16_t port, int* error, const std::function<bool()>& abandon) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  // Non-blocking while connecting, so the wait can be cut into slices; blocking again afterwards.
  const int flags = ::fcntl(fd_, F_GETFL);
  ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  int result = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ? 0 : errno;
  while (result == EINPROGRESS || result == EINTR) {
    if (abandon && abandon()) {
      result = ECANCELED;
      break;
    }
    pollfd p{fd_, POLLOUT, 0};
    int r = ::poll(&p, 1, 100);
    if (r < 0 && errno != EINTR) {
      result = errno;
    } else if (r > 0) {
      socklen_t len = sizeof result;
      if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &result, &len) != 0) result = errno;
    }
  }
  ::fcntl(fd_, F_SETFL, flags);
  if (result == 0) return true;
  if (error) *error = result;
  return false;
}

int TcpSocket::wait(bool forWrite, int timeoutMs, int* error) { return PollOne(fd_, forWrite, timeoutMs, error); }

bool TcpSocket::peerHungUp() {
  pollfd p{fd_, short(POLLIN | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) < 0) return errno != EINTR;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int64_t TcpSocket::send(const void* data, size_t n, int* error) {
  for (;;) {
    ssize_t put = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put >= 0) return put;
    if (errno == EINTR) continue;
    if (error) *error = errno;
    return -1;
  }
}

int64_t TcpSocket::recv(void* data, size_t n, int* error) {
  for (;;) {
    ssize_t got = ::recv(fd_, data, n, 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (error) *error = errno;
    return -1;
  }
}

std::optional<uint32_t> ParseDottedIPv4(const std::string& text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

std::string DottedIPv4(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::optional<std::vector<uint32_t>> ResolveIPv4(const std::string& name, int* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    if (error) *error = rc == EAI_SYSTEM ? errno : rc;
    return std::nullopt;
  }
  std::vector<uint32_t> addresses;
  for (addrinfo* a = found; a; a = a->ai_next) {
    uint32_t address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t known : addresses) seen = seen || known == address;
    if (!seen) addresses.push_back(address);
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace zel
