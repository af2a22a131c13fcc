// The client end of every connection to the exchange server: a CPSocket connected directly or
// through the proxy tunnel, then a TLS client (OpenSSL over memory BIOs, so that every byte still
// passes through the socket with its time-outs and logs). The server certificate is verified
// against the system trust store and the host name; a certificate that does not verify fails the
// handshake, and there is no setting that accepts it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "aslib/ASHttp.h"
#include "net/CPSocket.h"

namespace zel {

class ASVariableBuffer;
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
  bool connected() const { return connected_; }
  // Whether the server has closed the connection (or there is none), seen without waiting.
  bool peerClosed() { return !connected_ || socket_.peerClosed(); }

  // Plain bytes per record: 16384 minus header and trailer.
  static constexpr int64_t kRecordHeader = 5;
  static constexpr int64_t kRecordTrailer = 32;
  static constexpr int64_t kPlainPerRecord = 16384 - kRecordHeader - kRecordTrailer;

 private:
  struct Tls;
  uint32_t doHandshake();
  uint32_t verifyServerCertificate();
  bool flushOutgoing();

  CPSocket socket_;
  std::unique_ptr<Tls> tls_;
  std::string host_;
  bool connected_ = false;
};

// The text the certificate check logs for a policy error, "Unknown reason" for others.
const char* CertificateErrorText(uint32_t code);

}  // namespace zel
