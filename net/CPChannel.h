// The client end of every connection to the exchange server: a CPSocket connected directly or
// through the proxy tunnel, then a TLS client on the system's engine (platform/TlsEngine.h), fed
// through the socket so that every byte passes its time-outs and logs. The server certificate is
// verified against the system trust store and the host name; a certificate that does not verify
// fails the handshake, and there is no setting that accepts it. Where the engine keeps sessions,
// later connections to the same host and port resume them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "aslib/ASHttp.h"
#include "net/CPSocket.h"

namespace zel {

class ASVariableBuffer;
class TlsEngine;
class CPHostCache;
struct CPConfigProxy;

class CPChannel : public ASReceiver {
 public:
  explicit CPChannel(CPHostCache* hosts);
  ~CPChannel() override;
  CPChannel(const CPChannel&) = delete;
  CPChannel& operator=(const CPChannel&) = delete;

  bool connect(const std::string& host, uint16_t port, const CPConfigProxy* proxy);
  bool handshake();
  // Encrypts and sends every unread byte: plain bytes sent, or -1.
  int64_t send(ASVariableBuffer& buffer);
  // Reads once (more while a record is incomplete) and appends the plain bytes: their count, 0
  // when nothing more came, -1 on an error.
  int64_t receive(ASVariableBuffer& buffer) override;
  void disconnect();

  CPSocket& socket() { return socket_; }
  // Whether the last handshake resumed an earlier session with the same server.
  bool resumed() const;
  bool connected() const { return connected_; }
  // Whether the server has closed the connection (or there is none), seen without waiting.
  bool peerClosed() { return !connected_ || socket_.peerClosed(); }

 private:
  uint32_t doHandshake();
  uint32_t verifyServerCertificate();
  bool sendRecords(const std::string& records);

  CPSocket socket_;
  std::unique_ptr<TlsEngine> tls_;
  std::string host_;
  std::string sessionKey_;  // "host:port", names the server's session to resume
  bool connected_ = false;
  bool secure_ = false;  // the handshake and the certificate check succeeded
};

// The text the certificate check logs for a policy error, "Unknown reason" for others.
const char* CertificateErrorText(uint32_t code);

}  // namespace zel
