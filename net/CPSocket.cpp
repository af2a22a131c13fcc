#include "net/CPSocket.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "common/Log.h"
#include "common/StopRequest.h"
#include "common/TestKnobs.h"
#include "net/CPHostCache.h"
#include "platform/Sockets.h"

namespace zel {
namespace {
constexpr int kSliceMs = 100;
constexpr int kTimeoutMs = 180000;

// The low-speed window; ZEL_TEST_LOW_SPEED_WINDOW_MS shortens it, so that tests need not trickle
// for minutes.
int64_t LowSpeedWindowMs() {
  static const int64_t window = [] {
    const std::optional<int64_t> knob = TestKnob("ZEL_TEST_LOW_SPEED_WINDOW_MS");
    return knob && *knob > 0 ? *knob : CPSocket::kLowSpeedWindowMs;
  }();
  return window;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CPSocket::CPSocket(CPHostCache* hosts) : hosts_(hosts), lowSpeedWindowMs_(LowSpeedWindowMs()) {}
CPSocket::~CPSocket() { disconnect(); }

bool CPSocket::connect(const std::string& host, uint16_t port) {
  windowOpen_ = false;
  if (StopRequested()) {
    LogDebug("Stop requested: not connecting to host %s", host.c_str());
    return false;
  }
  std::optional<std::vector<uint32_t>> addresses = hosts_ ? hosts_->lookup(host) : std::nullopt;
  if (addresses) {
    for (uint32_t address : *addresses) {
      // A fresh socket for every attempt: Linux leaves a socket whose connect failed unusable.
      int error = 0;
      auto socket = TcpSocket::Create(kTimeoutMs, &error);
      if (!socket) {
        LogError("Cannot create TCP socket - error %d", error);
        return false;
      }
      if (socket->connect(address, port, &error, [] { return StopRequested(); })) {
        hosts_->markAddress(address, false);
        LogDebug("Successfully connected to host %s", host.c_str());
        socket_ = std::move(socket);
        host_ = host;
        connected_ = healthy_ = true;
        return true;
      }
      if (error == ECANCELED) {
        LogDebug("Stop requested: connecting to host %s given up", host.c_str());
        return false;
      }
      hosts_->markAddress(address, true);
      LogWarning("Unable to connect to address %s - error %d", DottedIPv4(address).c_str(), error);
    }
  }
  LogError("Unable to connect to host %s", host.c_str());
  return false;
}

int64_t CPSocket::send(const void* data, int64_t length) {
  if (!socket_) return -1;
  int64_t sent = 0;
  int idle = 0;
  // Whatever the kernel takes is progress: a peer that reads slowly never times the send out,
  // even while the socket does not yet count as writable.
  for (;;) {
    int error = 0;
    int64_t n = socket_->send(static_cast<const char*>(data) + sent, size_t(length - sent), &error);
    if (n > 0) {
      idle = 0;
      sent += n;
      if (sent == length) {
        LogDebug("%d bytes sent to remote host %s", int(sent), host_.c_str());
        healthy_ = true;
        return sent;
      }
      continue;
    }
    if (n == 0) {
      LogDebug("Remote host %s connection terminated", host_.c_str());
      healthy_ = true;
      return 0;
    }
    if (error != EAGAIN && error != EWOULDBLOCK) {
      LogWarning("Error %d while sending data to remote host %s", error, host_.c_str());
      healthy_ = false;
      return -1;
    }
    if (StopRequested()) {
      LogDebug("Stop requested: sending to remote host %s given up", host_.c_str());
      healthy_ = false;
      return -1;
    }
    int ready = socket_->wait(true, kSliceMs, &error);
    if (ready < 0) {
      LogWarning("Error %d while doing select() on remote host %s", error, host_.c_str());
      healthy_ = false;
      return -1;
    }
    if (ready == 0 && ++idle >= idleSlices_) {
      LogWarning("Sending data to remote host %s timed out", host_.c_str());
      healthy_ = false;
      return 0;
    }
  }
}

int64_t CPSocket::recv(void* buffer, int64_t capacity) {
  if (!socket_) return -1;
  const int64_t waitStart = NowMs();
  for (int idle = 0;;) {
    int error = 0;
    if (StopRequested()) {
      LogDebug("Stop requested: receiving from remote host %s given up", host_.c_str());
      healthy_ = false;
      return -1;
    }
    int ready = socket_->wait(false, kSliceMs, &error);
    if (ready < 0) {
      LogWarning("Error %d while doing select() on remote host %s", error, host_.c_str());
      healthy_ = false;
      return -1;
    }
    if (ready == 0) {
      if (++idle >= idleSlices_) {
        LogWarning("Receiving data from remote host %s timed out", host_.c_str());
        healthy_ = false;
        return 0;
      }
      continue;
    }
    int64_t n = socket_->recv(buffer, size_t(capacity), &error);
    if (n < 0) {
      LogWarning("Error %d while receiving data from remote host %s", error, host_.c_str());
      healthy_ = false;
      return -1;
    }
    if (n == 0) {
      LogDebug("Remote host %s connection terminated", host_.c_str());
    } else {
      LogDebug("%d bytes received from remote host %s", int(n), host_.c_str());
      if (!windowOpen_) {
        windowOpen_ = true;
        windowWaitedMs_ = windowBytes_ = 0;
      } else {
        windowWaitedMs_ += NowMs() - waitStart;
      }
      windowBytes_ += n;
      if (windowWaitedMs_ >= lowSpeedWindowMs_) {
        windowOpen_ = false;
        if (windowBytes_ * 1000 < kLowSpeedBytesPerSecond * windowWaitedMs_) {
          LogWarning("Remote host %s sent %lld bytes in %lld s, under %lld bytes/s", host_.c_str(),
                     static_cast<long long>(windowBytes_), static_cast<long long>(windowWaitedMs_ / 1000),
                     static_cast<long long>(kLowSpeedBytesPerSecond));
          LogWarning("Receiving data from remote host %s timed out", host_.c_str());
          healthy_ = false;
          return 0;
        }
      }
    }
    healthy_ = true;
    return n;
  }
}

bool CPSocket::peerClosed() { return !socket_ || socket_->peerHungUp(); }

void CPSocket::disconnect() {
  socket_.reset();
  if (connected_ && !host_.empty()) LogDebug("Disconnected from host %s", host_.c_str());
  connected_ = false;
  host_.clear();
  healthy_ = false;
}

}  // namespace zel
