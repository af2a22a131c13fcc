// The TLS client runs over two memory BIOs: OpenSSL turns plain bytes into records and back, and
// this class carries the records through the CPSocket. Verification runs during the handshake
// (host name, server-auth purpose, system trust store, no revocation) and its result is checked
// before the channel is used, each OpenSSL verification error mapped onto the policy error of the
// same meaning so the log reads alike on every platform.
#include "net/CPChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <vector>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "config/CPConfig.h"
#include "net/ProxyTunnel.h"

namespace zel {
namespace {

constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304;
constexpr uint32_t SEC_E_ILLEGAL_MESSAGE = 0x80090326;
constexpr uint32_t SEC_E_WRONG_PRINCIPAL = 0x80090322;

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

// OpenSSL's verification result as the policy error of the same meaning.
uint32_t PolicyErrorOf(long x509) {
  switch (x509) {
    case X509_V_OK: return 0;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return 0x800B010F;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD: return 0x800B0101;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return 0x800B0109;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY: return 0x80096004;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED: return 0x80096019;
    case X509_V_ERR_INVALID_PURPOSE: return 0x800B0110;
    case X509_V_ERR_CERT_REJECTED: return 0x800B0106;
    case X509_V_ERR_CERT_REVOKED: return 0x800B010C;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE: return 0x800B010E;
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY: return 0x800B0113;
    case X509_V_ERR_PERMITTED_VIOLATION:
    case X509_V_ERR_EXCLUDED_VIOLATION: return 0x800B0114;
    default: return 0x800B010A;  // the chain could not be built for another reason
  }
}

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// One client context for the process: system trust store, TLS 1.2 and 1.3, server-auth purpose.
SSL_CTX* ClientContext() {
  static std::unique_ptr<SSL_CTX, CtxFree> ctx = [] {
    std::unique_ptr<SSL_CTX, CtxFree> c(SSL_CTX_new(TLS_client_method()));
    if (c) {
      SSL_CTX_set_min_proto_version(c.get(), TLS1_2_VERSION);
      SSL_CTX_set_default_verify_paths(c.get());
      SSL_CTX_set_verify(c.get(), SSL_VERIFY_NONE, nullptr);  // checked by verifyServerCertificate
      X509_VERIFY_PARAM_set_purpose(SSL_CTX_get0_param(c.get()), X509_PURPOSE_SSL_SERVER);
    }
    return c;
  }();
  return ctx.get();
}

}  // namespace

const char* CertificateErrorText(uint32_t code) {
  for (const PolicyError& e : kPolicyErrors)
    if (e.code == code) return e.text;
  return "Unknown reason";
}

struct CPChannel::Tls {
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // records received, for OpenSSL to read
  BIO* out = nullptr;  // records OpenSSL produced, to send
  ~Tls() {
    if (ssl) SSL_free(ssl);  // frees both BIOs
  }
};

CPChannel::CPChannel(CPHostCache* hosts) : socket_(hosts) {}
CPChannel::~CPChannel() { disconnect(); }

bool CPChannel::connect(const std::string& host, uint16_t port, const CPConfigProxy* proxy) {
  host_ = host;
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

bool CPChannel::flushOutgoing() {
  char block[16384 + 512];
  int n;
  while ((n = BIO_read(tls_->out, block, sizeof block)) > 0) {
    if (socket_.send(block, n) <= 0 || !socket_.healthy()) return false;
  }
  return true;
}

uint32_t CPChannel::doHandshake() {
  if (!socket_.connected() || !socket_.healthy()) {
    LogDebug("Socket is down, cannot doHandshake()");
    return SEC_E_INTERNAL_ERROR;
  }
  char block[32768];
  for (;;) {
    ERR_clear_error();
    int rc = SSL_do_handshake(tls_->ssl);
    if (!flushOutgoing()) return SEC_E_INTERNAL_ERROR;
    if (rc == 1) return 0;
    int why = SSL_get_error(tls_->ssl, rc);
    if (why != SSL_ERROR_WANT_READ) {
      unsigned long e = ERR_peek_last_error();
      LogDebug("InitializeSecurityContext() error 0x%08x (%s)", SEC_E_ILLEGAL_MESSAGE,
               e ? ERR_reason_error_string(e) : "connection closed");
      return SEC_E_ILLEGAL_MESSAGE;
    }
    int64_t got = socket_.recv(block, sizeof block);
    if (got <= 0 || !socket_.healthy()) return SEC_E_INTERNAL_ERROR;
    BIO_write(tls_->in, block, int(got));
  }
}

uint32_t CPChannel::verifyServerCertificate() {
  X509* certificate = SSL_get0_peer_certificate(tls_->ssl);
  if (!certificate) {
    LogDebug("Server certificate context is null");
    return SEC_E_WRONG_PRINCIPAL;
  }
  long result = SSL_get_verify_result(tls_->ssl);
  uint32_t policy = PolicyErrorOf(result);
  if (policy == 0) {
    LogDebug("Certificate verification passed");
    return 0;
  }
  LogDebug("Certificate verification: %s", X509_verify_cert_error_string(result));
  LogError("Certificate verification error: %s (0x%08x)", CertificateErrorText(policy), policy);
  return policy;
}

bool CPChannel::handshake() {
  if (!socket_.connected() || !socket_.healthy()) {
    LogDebug("Socket is down, cannot makeCredentials()");
    LogError("Channel makeCredentials() failed with 0x%08x", SEC_E_INTERNAL_ERROR);
    return false;
  }
  tls_ = std::make_unique<Tls>();
  SSL_CTX* ctx = ClientContext();
  tls_->ssl = ctx ? SSL_new(ctx) : nullptr;
  if (!tls_->ssl) {
    LogDebug("AcquireCredentialsHandle() error 0x%08x", SEC_E_INTERNAL_ERROR);
    LogError("Channel makeCredentials() failed with 0x%08x", SEC_E_INTERNAL_ERROR);
    return false;
  }
  tls_->in = BIO_new(BIO_s_mem());
  tls_->out = BIO_new(BIO_s_mem());
  SSL_set_bio(tls_->ssl, tls_->in, tls_->out);
  SSL_set_connect_state(tls_->ssl);
  SSL_set_tlsext_host_name(tls_->ssl, host_.c_str());
  SSL_set1_host(tls_->ssl, host_.c_str());
  uint32_t status = doHandshake();
  if (status != 0) {
    LogError("Channel doHandshake() failed with 0x%08x", status);
    return false;
  }
  if (!SSL_get0_peer_certificate(tls_->ssl)) {
    LogDebug("QueryContextAttributes() error 0x%08x", SEC_E_INTERNAL_ERROR);
    LogError("Channel queryServerCertificate() failed with 0x%08x", SEC_E_INTERNAL_ERROR);
    return false;
  }
  status = verifyServerCertificate();
  if (status != 0) {
    LogError("Channel verifyServerCertificate() failed with 0x%08x", status);
    tls_.reset();  // unusable until reconnected
    return false;
  }
  LogDebug("Stream sizes: header %d; message %d; trailer %d;", int(kRecordHeader),
           int(32768 - kRecordHeader - kRecordTrailer), int(kRecordTrailer));
  return true;
}

int64_t CPChannel::send(ASVariableBuffer& buffer) {
  if (!tls_ || !SSL_is_init_finished(tls_->ssl)) {
    LogError("Internal buffer was not allocated");
    return -1;
  }
  int64_t plain = 0, encrypted = 0;
  std::vector<char> piece(static_cast<size_t>(kPlainPerRecord));
  int64_t k;
  while ((k = buffer.read(piece.data(), kPlainPerRecord)) > 0) {
    if (SSL_write(tls_->ssl, piece.data(), int(k)) != int(k)) {
      LogDebug("EncryptMessage() error 0x%08x", SEC_E_INTERNAL_ERROR);
      return -1;
    }
    encrypted += int64_t(BIO_ctrl_pending(tls_->out));
    if (!flushOutgoing()) {
      LogDebug("Error encountered while sending data to server");
      return -1;
    }
    plain += k;
  }
  if (buffer.unread() > 0) return -1;  // bytes the buffer could not give back: the request is not whole
  LogDebug("Data sent to server: plain %d bytes, encrypted %d bytes", int(plain), int(encrypted));
  return plain;
}

int64_t CPChannel::receive(ASVariableBuffer& buffer) {
  if (!tls_ || !SSL_is_init_finished(tls_->ssl)) {
    LogError("Internal buffer was not allocated");
    return -1;
  }
  int64_t plain = 0, encrypted = 0;
  char block[32768];
  for (;;) {
    // Everything already received first: whole records decrypt without another read.
    for (;;) {
      ERR_clear_error();
      int n = SSL_read(tls_->ssl, block, sizeof block);
      if (!flushOutgoing()) return -1;  // key updates and renegotiation answers
      if (n > 0) {
        if (buffer.append(block, n) != n) {
          LogError("Cannot keep %d bytes received from %s", n, host_.c_str());
          return -1;  // a gap in the stream: nothing after it can be trusted
        }
        plain += n;
        continue;
      }
      int why = SSL_get_error(tls_->ssl, n);
      if (why == SSL_ERROR_ZERO_RETURN) {
        connected_ = false;  // the server's close notification ends the receive
        break;
      }
      if (why == SSL_ERROR_WANT_READ) break;
      LogDebug("DecryptMessage() failed, error 0x%x", SEC_E_ILLEGAL_MESSAGE);
      return -1;
    }
    // Done when something came and no record is left half-read; otherwise read (more).
    const bool partial = BIO_ctrl_pending(tls_->in) > 0;
    if ((plain > 0 && !partial) || !connected_) {
      if (partial && !connected_ && plain == 0) {
        LogDebug("Message incomplete but no more data");
        return -1;
      }
      break;
    }
    int64_t got = socket_.recv(block, sizeof block);
    if (got <= 0) {
      connected_ = false;
      if (partial) {
        LogDebug("Message incomplete but no more data");
        return plain > 0 ? plain : -1;
      }
      break;
    }
    BIO_write(tls_->in, block, int(got));
    encrypted += got;
  }
  LogDebug("Data rcvd from server: plain %d bytes, encrypted %d bytes", int(plain), int(encrypted));
  return plain;
}

void CPChannel::disconnect() {
  tls_.reset();
  connected_ = false;
  socket_.disconnect();
  if (!host_.empty()) LogInfo("Disconnected from host %s", host_.c_str());
  host_.clear();
}

}  // namespace zel
