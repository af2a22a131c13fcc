// Listening IPv4 TCP sockets on every local address and the connections they accept, for the mail
// gateway. Accepted connections are non-blocking: every wait is an explicit, bounded call, and a
// peer that hangs up never raises SIGPIPE. Error codes are errno values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zel {

// A two-way byte stream with bounded waits; what a mail session talks through.
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // 1 ready, 0 not ready within `timeoutMs`, -1 error.
  virtual int wait(bool forWrite, int timeoutMs, int* error) = 0;
  // Bytes taken (0 when nothing fits right now), or -1.
  virtual int64_t send(const void* data, size_t n, int* error) = 0;
  // Bytes received, 0 when the peer closed, -1 on error (EAGAIN when nothing is there after all).
  virtual int64_t recv(void* data, size_t n, int* error) = 0;
  // This end's IPv4 address as dotted decimal ("0.0.0.0" when unknown).
  virtual std::string localAddress() const { return "0.0.0.0"; }
};

class TcpConnection : public ByteStream {
 public:
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  int wait(bool forWrite, int timeoutMs, int* error) override;
  int64_t send(const void* data, size_t n, int* error) override;
  int64_t recv(void* data, size_t n, int* error) override;
  std::string localAddress() const override;

  // A connected stream socket the process already holds (one end of a socket pair, for tests and
  // fuzzing), owned from now on.
  static std::unique_ptr<TcpConnection> Adopt(int fd, std::string peerAddress, uint16_t peerPort);

  const std::string& peerAddress() const { return peerAddress_; }  // dotted decimal
  uint16_t peerPort() const { return peerPort_; }                  // host order

 private:
  friend class TcpListener;
  TcpConnection(int fd, std::string peerAddress, uint16_t peerPort);
  int fd_;
  std::string peerAddress_;
  uint16_t peerPort_;
};

class TcpListener {
 public:
  // A new IPv4 stream socket with SO_REUSEADDR; null with errno in *error.
  static std::unique_ptr<TcpListener> Create(int* error);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  bool bind(uint16_t port, int* error);  // every local IPv4 address
  bool listen(int backlog, int* error);
  // The next connection waiting, non-blocking, or null when none is waiting or the accept failed.
  std::unique_ptr<TcpConnection> accept();

  // Whether either listener (either may be null) becomes readable within `timeoutMs`: bit 0 for
  // `first`, bit 1 for `second`; 0 on time-out or a failed wait.
  static unsigned WaitReadable(TcpListener* first, TcpListener* second, int timeoutMs);

 private:
  explicit TcpListener(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace zel
