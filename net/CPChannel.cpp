// The channel carries every byte through its CPSocket (time-outs, logs, healthy flag); the
// system's TLS engine only turns plain bytes into records and back, and checks the server's
// certificate chain and host name. A certificate that does not verify fails the handshake, and
// there is no setting that accepts it.
#include "net/CPChannel.h"

#include <algorithm>
#include <string>
#include <vector>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "config/CPConfig.h"
#include "net/ProxyTunnel.h"
#include "platform/TlsEngine.h"

namespace zel {
namespace {

constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304;

struct PolicyError {
  uint32_t code;
  const char* text;
};
constexpr PolicyError kPolicyErrors[] = {
    {0x80092010, "The certificate or signature has been revoked."},
    {0x80092012, "The revocation function was unable to check revocation for the certificate."},
    {0x80092013, "The revocation function was unable to check revocation because the revocation server was offline."},
    {0x80096004, "The signature of the certificate cannot be verified."},
    {0x80096019, "The basic constraints of the certificate are not valid, or they are missing."},
    {0x800B0101, "A required certificate is not within its validity period."},
    {0x800B0102, "The validity periods of the certification chain do not nest correctly."},
    {0x800B0103, "A certificate that can only be used as an end-entity is being used as a CA or vice versa."},
    {0x800B0105, "The certificate is being used for a purpose other than the purpose specified by its CA."},
    {0x800B0106, "The certificate is being used for a purpose other than one specified by the issuing CA."},
    {0x800B0109,
     "A certification chain processed correctly but terminated in a root certificate that is not trusted by the "
     "trust provider."},
    {0x800B010A, "A chain of certificates was not correctly created."},
    {0x800B010C, "The certificate has been explicitly revoked by the issuer."},
    {0x800B010D, "The root certificate is a testing certificate, and policy settings disallow test certificates."},
    {0x800B010E, "The revocation process could not continue, and the certificate could not be checked."},
    {0x800B010F, "The certificate's CN name does not match the passed value."},
    {0x800B0110, "The certificate is not valid for the requested usage."},
    {0x800B0113, "The certificate has an invalid policy."},
    {0x800B0114,
     "The certificate has an invalid name. Either the name is not included in the permitted list, or it is "
     "explicitly excluded."},
};

}  // namespace

const char* CertificateErrorText(uint32_t code) {
  for (const PolicyError& e : kPolicyErrors)
    if (e.code == code) return e.text;
  return "Unknown reason";
}

CPChannel::CPChannel(CPHostCache* hosts) : socket_(hosts) {}
CPChannel::~CPChannel() { disconnect(); }

bool CPChannel::connect(const std::string& host, uint16_t port, const CPConfigProxy* proxy) {
  host_ = host;
  sessionKey_ = host + ":" + std::to_string(port);
  bool ok;
  if (proxy && proxy->enabled && proxy->host && proxy->port != 0) {
    int scheme = !proxy->auth ? 0 : !proxy->ad ? 1 : 2;
    std::optional<std::string> password;
    if (proxy->plainPassword) password = proxy->plainPassword->str();
    ok = ConnectViaProxy(socket_, host, port, *proxy->host, proxy->port, scheme, proxy->login, password);
    if (password) WipeBytes(password->data(), password->size());
  } else {
    ok = socket_.connect(host, port);
  }
  if (!ok) return false;
  connected_ = true;
  LogInfo("Successfully connected to host %s", host.c_str());
  return true;
}

bool CPChannel::sendRecords(const std::string& records) {
  if (records.empty()) return true;
  return socket_.send(records.data(), int64_t(records.size())) > 0 && socket_.healthy();
}

uint32_t CPChannel::doHandshake() {
  if (!socket_.connected() || !socket_.healthy()) {
    LogDebug("Socket is down, cannot doHandshake()");
    return SEC_E_INTERNAL_ERROR;
  }
  char block[32768];
  for (;;) {
    std::string out;
    uint32_t status = tls_->handshake(out);
    if (!sendRecords(out)) return SEC_E_INTERNAL_ERROR;
    if (status != kTlsWantInput) return status;
    size_t room = std::min(tls_->room(), sizeof block);
    if (room == 0) {
      LogDebug("InitializeSecurityContext() error 0x%08x", SEC_E_INTERNAL_ERROR);
      return SEC_E_INTERNAL_ERROR;
    }
    int64_t got = socket_.recv(block, int64_t(room));
    if (got <= 0 || !socket_.healthy()) return SEC_E_INTERNAL_ERROR;
    tls_->feed(block, size_t(got));
  }
}

uint32_t CPChannel::verifyServerCertificate() {
  bool policyError = false;
  uint32_t result = tls_->verify(&policyError);
  if (result == 0) {
    LogDebug("Certificate verification passed");
  } else if (policyError) {
    LogError("Certificate verification error: %s (0x%08x)", CertificateErrorText(result), result);
  }
  return result;
}

bool CPChannel::handshake() {
  secure_ = false;
  if (!socket_.connected() || !socket_.healthy()) {
    LogDebug("Socket is down, cannot makeCredentials()");
    LogError("Channel makeCredentials() failed with 0x%08x", SEC_E_INTERNAL_ERROR);
    return false;
  }
  tls_ = MakeTlsEngine();
  uint32_t status = tls_->begin(host_, sessionKey_);
  if (status != 0) {
    LogError("Channel makeCredentials() failed with 0x%08x", status);
    return false;
  }
  status = doHandshake();
  if (status & 0x80000000u) {
    tls_->forgetSession();
    LogError("Channel doHandshake() failed with 0x%08x", status);
    return false;
  }
  if (tls_->resumed()) LogDebug("TLS session resumed");
  status = tls_->serverCertificate();
  if (status != 0) {
    LogError("Channel queryServerCertificate() failed with 0x%08x", status);
    return false;
  }
  status = verifyServerCertificate();
  if (status != 0) {
    tls_->forgetSession();
    LogError("Channel verifyServerCertificate() failed with 0x%08x", status);
    tls_.reset();  // unusable until reconnected
    return false;
  }
  TlsEngine::StreamSizes sizes;
  status = tls_->streamSizes(&sizes);
  if (status != 0) {
    LogDebug("QueryContextAttributes() error 0x%08x", status);
    return false;
  }
  LogDebug("Stream sizes: header %d; message %d; trailer %d;", sizes.header, sizes.message, sizes.trailer);
  secure_ = true;
  return true;
}

int64_t CPChannel::send(ASVariableBuffer& buffer) {
  if (!tls_ || !secure_) {
    LogError("Internal buffer was not allocated");
    return -1;
  }
  int64_t plain = 0, encrypted = 0;
  const int64_t perRecord = int64_t(tls_->plainPerRecord());
  std::vector<char> piece(static_cast<size_t>(perRecord));
  // Records are gathered into sends of about 64 KB: a request goes out in as few segments as it
  // can, and its tail is never a small write left waiting for the acknowledgement of the one before.
  constexpr size_t kGathered = 65536;
  std::string records;
  int64_t k;
  for (;;) {
    k = buffer.read(piece.data(), perRecord);
    if (k > 0) {
      const size_t before = records.size();
      uint32_t status = tls_->encrypt(piece.data(), size_t(k), records);
      if (status != 0) {
        LogDebug("EncryptMessage() error 0x%08x", status);
        return -1;
      }
      encrypted += int64_t(records.size() - before);
      plain += k;
    }
    if (!records.empty() && (k <= 0 || records.size() >= kGathered)) {
      if (!sendRecords(records)) {
        LogDebug("Error encountered while sending data to server");
        return -1;
      }
      records.clear();
    }
    if (k <= 0) break;
  }
  if (buffer.unread() > 0) return -1;  // bytes the buffer could not give back: the request is not whole
  LogDebug("Data sent to server: plain %d bytes, encrypted %d bytes", int(plain), int(encrypted));
  return plain;
}

int64_t CPChannel::receive(ASVariableBuffer& buffer) {
  if (!tls_ || !secure_) {
    LogError("Internal buffer was not allocated");
    return -1;
  }
  int64_t plain = 0, encrypted = 0;
  char block[32768];
  bool completing = false;  // a read was made to complete a record left half-read
  for (;;) {
    const int64_t roundStart = plain;
    // Everything already received first: whole records decrypt without another read.
    for (;;) {
      size_t n = 0;
      uint32_t failure = 0;
      std::string out;
      TlsEngine::Read result = tls_->read(block, sizeof block, &n, out, &failure);
      if (!sendRecords(out)) return -1;
      if (result == TlsEngine::Read::Data) {
        if (buffer.append(block, int64_t(n)) != int64_t(n)) {
          LogError("Cannot keep %d bytes received from %s", int(n), host_.c_str());
          return -1;  // a gap in the stream: nothing after it can be trusted
        }
        plain += int64_t(n);
        continue;
      }
      if (result == TlsEngine::Read::Closed) {
        connected_ = false;  // the server's close notification ends the receive
        break;
      }
      if (result == TlsEngine::Read::WantInput) break;
      LogDebug("DecryptMessage() failed, error 0x%x", failure);
      return -1;
    }
    // Done when something came and no record is left half-read, or once the record that was
    // half-read has been completed (a steady stream always ends its reads inside a record, and
    // must not keep one call reading forever); otherwise read (more).
    const bool partial = tls_->partial();
    if ((plain > 0 && (!partial || (completing && plain > roundStart))) || !connected_) {
      if (partial && !connected_ && plain == 0) {
        LogDebug("Message incomplete but no more data");
        return -1;
      }
      break;
    }
    const size_t room = std::min(tls_->room(), sizeof block);
    int64_t got = room > 0 ? socket_.recv(block, int64_t(room)) : 0;
    if (got <= 0) {
      connected_ = false;
      if (partial) {
        LogDebug("Message incomplete but no more data");
        return plain > 0 ? plain : -1;
      }
      break;
    }
    tls_->feed(block, size_t(got));
    encrypted += got;
    completing = completing || plain > 0;
  }
  LogDebug("Data rcvd from server: plain %d bytes, encrypted %d bytes", int(plain), int(encrypted));
  return plain;
}

bool CPChannel::resumed() const { return tls_ && tls_->resumed(); }

void CPChannel::disconnect() {
  tls_.reset();
  secure_ = false;
  connected_ = false;
  socket_.disconnect();
  if (!host_.empty()) LogInfo("Disconnected from host %s", host_.c_str());
  host_.clear();
}

}  // namespace zel
