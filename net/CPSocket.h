// A blocking IPv4 TCP client connection whose every wait is cut into 100 ms slices: 1800 slices
// without progress (180 s) end a send or a receive. Results: > 0 bytes moved; 0 an orderly close or
// a time-out (`healthy()` tells which); -1 an error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zel {

class CPHostCache;
class TcpSocket;

class CPSocket {
 public:
  explicit CPSocket(CPHostCache* hosts);
  ~CPSocket();
  CPSocket(const CPSocket&) = delete;
  CPSocket& operator=(const CPSocket&) = delete;

  bool connect(const std::string& host, uint16_t port);
  int64_t send(const void* data, int64_t length);
  int64_t recv(void* buffer, int64_t capacity);
  void disconnect();

  bool healthy() const { return healthy_; }
  bool connected() const { return connected_; }
  // Whether the peer has closed the connection (or there is none), seen without waiting.
  bool peerClosed();
  const std::string& host() const { return host_; }

  // How many 100 ms slices without progress end a send or receive (1800; shorter in tests).
  void setIdleSlices(int slices) { idleSlices_ = slices; }

 private:
  CPHostCache* hosts_;
  std::unique_ptr<TcpSocket> socket_;
  std::string host_;
  bool connected_ = false;
  bool healthy_ = false;
  int idleSlices_ = 1800;
};

}  // namespace zel
