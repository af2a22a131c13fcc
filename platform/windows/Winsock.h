// Windows Sockets for the backend: started once for the whole process on first use (WSAStartup
// 2.2; the system ends it with the process), the one bounded wait (WSAPoll), and the last error.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/windows/WinText.h"

namespace zel::win {

inline void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

inline int LastSocketErrno() { return ErrnoOf(DWORD(WSAGetLastError())); }

// 1 ready, 0 not within `timeoutMs`, -1 with errno in *error.
inline int PollOne(SOCKET s, bool forWrite, int timeoutMs, int* error) {
  WSAPOLLFD p{s, short(forWrite ? POLLWRNORM : POLLRDNORM), 0};
  int r = WSAPoll(&p, 1, timeoutMs);
  if (r < 0) {
    if (error) *error = LastSocketErrno();
    return -1;
  }
  return r > 0 ? 1 : 0;
}

inline void SetNonBlocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  ioctlsocket(s, FIONBIO, &mode);
}

}  // namespace zel::win
