// What the test servers share: a listening socket on a free port of 127.0.0.1, and the port file a
// test waits for (written under a temporary name and renamed, so it is never read half-written).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace zel::testing {

inline int ListenOnLoopback(uint16_t* port, int backlog = 64) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, backlog) != 0) return -1;
  socklen_t len = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  *port = ntohs(at.sin_port);
  return fd;
}

inline void WritePortFile(const std::string& file, uint16_t port) {
  std::ofstream(file + ".tmp") << port << "\n";
  std::rename((file + ".tmp").c_str(), file.c_str());
}

}  // namespace zel::testing
