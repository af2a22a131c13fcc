// IPv4 TCP client sockets and name resolution: the few socket calls the transport needs, with
// errno values for messages. A peer that hangs up never raises SIGPIPE.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel {

class TcpSocket {
 public:
  // A new socket with send and receive time-outs of `timeoutMs`; null with errno in *error.
  static std::unique_ptr<TcpSocket> Create(int timeoutMs, int* error);
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool connect(uint32_t address, uint16_t port, int* error);  // address in network byte order
  // 1 ready, 0 not ready within `timeoutMs`, -1 error.
  int wait(bool forWrite, int timeoutMs, int* error);
  // Bytes taken, or -1 (EAGAIN when nothing fits right now).
  int64_t send(const void* data, size_t n, int* error);
  int64_t recv(void* data, size_t n, int* error);  // bytes, 0 orderly close, or -1
  // Whether the peer has ended its side of the connection, or it failed; never waits.
  bool peerHungUp();

 private:
  explicit TcpSocket(int fd) : fd_(fd) {}
  int fd_;
};

// The address of a dotted IPv4 text, network byte order.
std::optional<uint32_t> ParseDottedIPv4(const std::string& text);
std::string DottedIPv4(uint32_t address);
// Every IPv4 address of a host name, in the resolver's order; none with an error code.
std::optional<std::vector<uint32_t>> ResolveIPv4(const std::string& name, int* error);

}  // namespace zel
