// Real peers for the transport tests: a plain TCP listener on 127.0.0.1 run by a thread, and the
// TLS test servers (ours, and openssl s_server) as child processes with the test PKI.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel::test {

inline std::string Pki(const std::string& name) { return std::string(ZEL_BINARY_DIR) + "/pki/" + name; }

// Accepts connections on a free loopback port and hands each to `serve` on the listener's thread.
class TcpListener {
 public:
  explicit TcpListener(std::function<void(int fd)> serve, int receiveBuffer = 0) : serve_(std::move(serve)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(fd_, 16);
    socklen_t len = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0 || stop_) {
          if (c >= 0) close(c);
          return;
        }
        serve_(c);
        close(c);
      }
    });
  }
  ~TcpListener() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  std::function<void(int)> serve_;
  int fd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port nobody listens on.
inline uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  socklen_t len = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  close(fd);
  return ntohs(at.sin_port);
}

// Our TLS test server with one certificate; the port it listens on.
class TlsServer {
 public:
  TlsServer(const std::string& cert, bool split = false)
      : portFile_(dir_ / "port"),
        process_(split ? std::vector<std::string>{std::string(ZEL_BINARY_DIR) + "/testing/tls_server", "--cert",
                                                  Pki(cert + ".pem"), "--key", Pki(cert + "-key.pem"), "--port-file",
                                                  dir_ / "port", "--split"}
                       : std::vector<std::string>{std::string(ZEL_BINARY_DIR) + "/testing/tls_server", "--cert",
                                                  Pki(cert + ".pem"), "--key", Pki(cert + "-key.pem"), "--port-file",
                                                  dir_ / "port"},
                 {}, dir_ / "server.txt") {
    for (int i = 0; i < 1000 && ReadFile(portFile_).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    port_ = uint16_t(std::atoi(ReadFile(portFile_).c_str()));
  }
  uint16_t port() const { return port_; }

 private:
  ScratchDir dir_;
  std::string portFile_;
  ChildProcess process_;
  uint16_t port_ = 0;
};

// openssl s_server answering HTTP with a status page, on a free port.
class OpensslServer {
 public:
  explicit OpensslServer(const std::string& cert)
      : port_(ClosedPort()),
        process_({"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(ClosedPortHolder(port_)),
                  "-cert", Pki(cert + ".pem"), "-key", Pki(cert + "-key.pem"), "-www", "-quiet"},
                 {}, dir_ / "s_server.txt") {
    // Ready once it accepts a connection.
    for (int i = 0; i < 400; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(port_);
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool up = connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
      close(fd);
      if (up) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  uint16_t port() const { return port_; }

 private:
  static uint16_t ClosedPortHolder(uint16_t p) { return p; }
  ScratchDir dir_;
  uint16_t port_;
  ChildProcess process_;
};

// Records every file-channel line while it lives.
class LogRecorder : public LogWriter {
 public:
  static std::shared_ptr<std::vector<std::string>> Install() {
    auto lines = std::make_shared<std::vector<std::string>>();
    AttachLogFile(std::make_unique<LogRecorder>(lines));
    return lines;
  }
  explicit LogRecorder(std::shared_ptr<std::vector<std::string>> lines) : lines_(std::move(lines)) {}
  void writeLine(std::string_view line) override {
    // Keep "[X] message" without the time stamp.
    std::string l(line);
    lines_->push_back(l.substr(0, 4) + l.substr(24, l.size() - 26));
  }

 private:
  std::shared_ptr<std::vector<std::string>> lines_;
};

inline bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

}  // namespace zel::test
