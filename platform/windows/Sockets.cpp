// IPv4 client sockets on Windows Sockets 2. Socket handles are kept in the interface's int: the
// values Windows hands out fit in 32 bits. Windows never raises a signal for a closed peer.
#include "platform/Sockets.h"

#include <cerrno>

#include "platform/windows/Winsock.h"

namespace zel {

using win::LastSocketErrno;

std::unique_ptr<TcpSocket> TcpSocket::Create(int timeoutMs, int* error) {
  win::StartWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    if (error) *error = LastSocketErrno();
    return nullptr;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  DWORD ms = DWORD(timeoutMs);
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  return std::unique_ptr<TcpSocket>(new TcpSocket(int(s)));
}

TcpSocket::~TcpSocket() {
  ::shutdown(SOCKET(fd_), SD_BOTH);
  ::closesocket(SOCKET(fd_));
}

bool TcpSocket::connect(uint32_t address, uint16_t port, int* error, const std::function<bool()>& abandon) {
  const SOCKET s = SOCKET(fd_);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  // Non-blocking while connecting, so the wait can be cut into slices; blocking again afterwards.
  win::SetNonBlocking(s, true);
  int result = 0;
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    result = WSAGetLastError() == WSAEWOULDBLOCK ? EINPROGRESS : LastSocketErrno();
  }
  while (result == EINPROGRESS) {
    if (abandon && abandon()) {
      result = ECANCELED;
      break;
    }
    WSAPOLLFD p{s, POLLWRNORM, 0};
    int r = WSAPoll(&p, 1, 100);
    if (r < 0) {
      result = LastSocketErrno();
    } else if (r > 0) {
      int code = 0;
      int len = sizeof code;
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &len) != 0)
        result = LastSocketErrno();
      else
        result = code == 0 ? 0 : win::ErrnoOf(DWORD(code));
      // A refused connection shows as an error event with no write readiness on some stacks.
      if (result == 0 && (p.revents & (POLLERR | POLLHUP))) result = ECONNREFUSED;
    }
  }
  win::SetNonBlocking(s, false);
  if (result == 0) return true;
  if (error) *error = result;
  return false;
}

int TcpSocket::wait(bool forWrite, int timeoutMs, int* error) {
  return win::PollOne(SOCKET(fd_), forWrite, timeoutMs, error);
}

bool TcpSocket::peerHungUp() {
  WSAPOLLFD p{SOCKET(fd_), POLLRDNORM, 0};
  int r = WSAPoll(&p, 1, 0);
  if (r < 0) return true;
  if (p.revents & (POLLHUP | POLLERR)) return true;
  if (!(p.revents & POLLRDNORM)) return false;
  // Readable: either data waits, or the peer closed (a peek then reads nothing).
  char c;
  win::SetNonBlocking(SOCKET(fd_), true);
  int got = ::recv(SOCKET(fd_), &c, 1, MSG_PEEK);
  const int code = WSAGetLastError();
  win::SetNonBlocking(SOCKET(fd_), false);
  return got == 0 || (got < 0 && code != WSAEWOULDBLOCK);
}

int64_t TcpSocket::send(const void* data, size_t n, int* error) {
  // Writable first, so a full send buffer gives EAGAIN as a non-blocking send would.
  WSAPOLLFD p{SOCKET(fd_), POLLWRNORM, 0};
  if (WSAPoll(&p, 1, 0) == 0) {
    if (error) *error = EAGAIN;
    return -1;
  }
  int put = ::send(SOCKET(fd_), static_cast<const char*>(data), int(n > (1 << 30) ? (1 << 30) : n), 0);
  if (put >= 0) return put;
  if (error) *error = LastSocketErrno();
  return -1;
}

int64_t TcpSocket::recv(void* data, size_t n, int* error) {
  int got = ::recv(SOCKET(fd_), static_cast<char*>(data), int(n > (1 << 30) ? (1 << 30) : n), 0);
  if (got >= 0) return got;
  // A receive time-out is WSAETIMEDOUT on Windows, EAGAIN where the core expects it.
  if (WSAGetLastError() == WSAETIMEDOUT) {
    if (error) *error = EAGAIN;
    return -1;
  }
  if (error) *error = LastSocketErrno();
  return -1;
}

std::optional<uint32_t> ParseDottedIPv4(const std::string& text) {
  win::StartWinsock();
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

std::string DottedIPv4(uint32_t address) {
  win::StartWinsock();
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::optional<std::vector<uint32_t>> ResolveIPv4(const std::string& name, int* error) {
  win::StartWinsock();
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  int rc = ::GetAddrInfoW(win::Wide(name).c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    if (error) *error = rc;
    return std::nullopt;
  }
  std::vector<uint32_t> addresses;
  for (ADDRINFOW* a = found; a; a = a->ai_next) {
    uint32_t address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t known : addresses) seen = seen || known == address;
    if (!seen) addresses.push_back(address);
  }
  FreeAddrInfoW(found);
  return addresses;
}

}  // namespace zel
