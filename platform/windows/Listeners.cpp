// Windows listening and accepted sockets: both non-blocking (FIONBIO), so a listener is drained with
// accept until WSAEWOULDBLOCK, and WSAPoll for every wait. SO_EXCLUSIVEADDRUSE keeps another
// program from taking over a port the gateway listens on (Windows's SO_REUSEADDR would allow that).
#include "platform/Listeners.h"

#include <cerrno>

#include "platform/windows/Winsock.h"

namespace zel {

using win::LastSocketErrno;

TcpConnection::TcpConnection(int fd, std::string peerAddress, uint16_t peerPort)
    : fd_(fd), peerAddress_(std::move(peerAddress)), peerPort_(peerPort) {}

TcpConnection::~TcpConnection() {
  ::shutdown(SOCKET(fd_), SD_BOTH);
  ::closesocket(SOCKET(fd_));
}

int TcpConnection::wait(bool forWrite, int timeoutMs, int* error) {
  return win::PollOne(SOCKET(fd_), forWrite, timeoutMs, error);
}

int64_t TcpConnection::send(const void* data, size_t n, int* error) {
  int put = ::send(SOCKET(fd_), static_cast<const char*>(data), int(n > (1 << 30) ? (1 << 30) : n), 0);
  if (put >= 0) return put;
  if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  if (error) *error = LastSocketErrno();
  return -1;
}

std::unique_ptr<TcpConnection> TcpConnection::Adopt(int fd, std::string peerAddress, uint16_t peerPort) {
  win::SetNonBlocking(SOCKET(fd), true);
  return std::unique_ptr<TcpConnection>(new TcpConnection(fd, std::move(peerAddress), peerPort));
}

std::string TcpConnection::localAddress() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (::getsockname(SOCKET(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET)
    return "0.0.0.0";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

int64_t TcpConnection::recv(void* data, size_t n, int* error) {
  int got = ::recv(SOCKET(fd_), static_cast<char*>(data), int(n > (1 << 30) ? (1 << 30) : n), 0);
  if (got >= 0) return got;
  if (error) *error = WSAGetLastError() == WSAEWOULDBLOCK ? EAGAIN : LastSocketErrno();
  return -1;
}

std::unique_ptr<TcpListener> TcpListener::Create(int* error) {
  win::StartWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    if (error) *error = LastSocketErrno();
    return nullptr;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  win::SetNonBlocking(s, true);
  return std::unique_ptr<TcpListener>(new TcpListener(int(s)));
}

TcpListener::~TcpListener() { ::closesocket(SOCKET(fd_)); }

bool TcpListener::bind(uint16_t port, int* error) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(SOCKET(fd_), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) return true;
  if (error) *error = LastSocketErrno();
  return false;
}

bool TcpListener::listen(int backlog, int* error) {
  if (::listen(SOCKET(fd_), backlog) == 0) return true;
  if (error) *error = LastSocketErrno();
  return false;
}

std::unique_ptr<TcpConnection> TcpListener::accept() {
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET s = ::accept(SOCKET(fd_), reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return nullptr;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  win::SetNonBlocking(s, true);
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return std::unique_ptr<TcpConnection>(new TcpConnection(int(s), text, ntohs(peer.sin_port)));
}

unsigned TcpListener::WaitReadable(TcpListener* first, TcpListener* second, int timeoutMs) {
  WSAPOLLFD p[2];
  int n = 0, index[2] = {-1, -1};
  if (first) index[0] = n, p[n++] = {SOCKET(first->fd_), POLLRDNORM, 0};
  if (second) index[1] = n, p[n++] = {SOCKET(second->fd_), POLLRDNORM, 0};
  if (n == 0) {
    Sleep(DWORD(timeoutMs < 0 ? 0 : timeoutMs));
    return 0;
  }
  if (WSAPoll(p, ULONG(n), timeoutMs) <= 0) return 0;
  unsigned bits = 0;
  if (index[0] >= 0 && (p[index[0]].revents & POLLRDNORM)) bits |= 1u;
  if (index[1] >= 0 && (p[index[1]].revents & POLLRDNORM)) bits |= 2u;
  return bits;
}

}  // namespace zel
