// The TLS engine on OpenSSL over two memory BIOs: OpenSSL turns plain bytes into records and back,
// the channel carries the records. Verification runs during the handshake (host name, server-auth
// purpose, the system trust store honouring SSL_CERT_FILE/SSL_CERT_DIR, no revocation) and each
// OpenSSL verification error is mapped onto the policy error of the same meaning, so the log reads
// alike on every system. Sessions of verified servers are kept and resumed per "host:port".
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "platform/TlsEngine.h"

namespace zel {
namespace {

constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304;
constexpr uint32_t SEC_E_ILLEGAL_MESSAGE = 0x80090326;
constexpr uint32_t SEC_E_WRONG_PRINCIPAL = 0x80090322;
constexpr int kRecordHeader = 5;
constexpr int kRecordTrailer = 32;

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

// Sessions to resume, one per server ("host:port"), taken only from handshakes whose certificate
// verified. A resumed session carries the verified certificate and its verification result, so
// the checks after the handshake read the same as after a full one.
class SessionCache {
 public:
  ~SessionCache() {
    for (auto& [key, session] : sessions_) SSL_SESSION_free(session);
  }
  void put(const std::string& key, SSL_SESSION* session) {  // takes the reference
    std::lock_guard<std::mutex> hold(lock_);
    SSL_SESSION*& slot = sessions_[key];
    if (slot) SSL_SESSION_free(slot);
    slot = session;
  }
  SSL_SESSION* take(const std::string& key) {  // a new reference, or null
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return nullptr;
    if (!SSL_SESSION_is_resumable(found->second)) {
      SSL_SESSION_free(found->second);
      sessions_.erase(found);
      return nullptr;
    }
    SSL_SESSION_up_ref(found->second);
    return found->second;
  }
  void forget(const std::string& key) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return;
    SSL_SESSION_free(found->second);
    sessions_.erase(found);
  }

 private:
  std::mutex lock_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

SessionCache& Sessions() {
  static SessionCache cache;
  return cache;
}

int ExDataIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// OpenSSL hands over every new session (with TLS 1.3, the tickets after the handshake).
int KeepSession(SSL* ssl, SSL_SESSION* session) {
  auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, ExDataIndex()));
  if (!key || SSL_get_verify_result(ssl) != X509_V_OK) return 0;
  Sessions().put(*key, session);
  return 1;  // the cache holds the reference
}

// One client context for the process: system trust store, TLS 1.2 and 1.3, server-auth purpose.
SSL_CTX* ClientContext() {
  static std::unique_ptr<SSL_CTX, CtxFree> ctx = [] {
    std::unique_ptr<SSL_CTX, CtxFree> c(SSL_CTX_new(TLS_client_method()));
    if (c) {
      SSL_CTX_set_min_proto_version(c.get(), TLS1_2_VERSION);
      SSL_CTX_set_default_verify_paths(c.get());
      SSL_CTX_set_verify(c.get(), SSL_VERIFY_NONE, nullptr);  // checked by verifyServerCertificate
      X509_VERIFY_PARAM_set_purpose(SSL_CTX_get0_param(c.get()), X509_PURPOSE_SSL_SERVER);
      SSL_CTX_set_session_cache_mode(c.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
      SSL_CTX_sess_set_new_cb(c.get(), KeepSession);
    }
    return c;
  }();
  return ctx.get();
}

class OpenSslEngine final : public TlsEngine {
 public:
  ~OpenSslEngine() override {
    if (!ssl_) return;
    // Closed without a close_notify on the wire, as always; marked shut down so that OpenSSL
    // keeps the session resumable.
    SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(ssl_);  // frees both BIOs
  }

  uint32_t begin(const std::string& host, const std::string& sessionKey) override {
    sessionKey_ = sessionKey;
    SSL_CTX* ctx = ClientContext();
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl_) {
      LogDebug("AcquireCredentialsHandle() error 0x%08x", SEC_E_INTERNAL_ERROR);
      return SEC_E_INTERNAL_ERROR;
    }
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    SSL_set1_host(ssl_, host.c_str());
    SSL_set_ex_data(ssl_, ExDataIndex(), &sessionKey_);
    if (SSL_SESSION* session = Sessions().take(sessionKey_)) {
      SSL_set_session(ssl_, session);
      SSL_SESSION_free(session);
    }
    return 0;
  }

  void feed(const char* data, size_t n) override { BIO_write(in_, data, int(n)); }
  size_t room() const override { return 32768; }

  uint32_t handshake(std::string& out) override {
    ERR_clear_error();
    int rc = SSL_do_handshake(ssl_);
    drain(out);
    if (rc == 1) return 0;
    int why = SSL_get_error(ssl_, rc);
    if (why == SSL_ERROR_WANT_READ) return kTlsWantInput;
    unsigned long e = ERR_peek_last_error();
    LogDebug("InitializeSecurityContext() error 0x%08x (%s)", SEC_E_ILLEGAL_MESSAGE,
             e ? ERR_reason_error_string(e) : "connection closed");
    return SEC_E_ILLEGAL_MESSAGE;
  }

  bool resumed() const override { return ssl_ && SSL_session_reused(ssl_); }

  uint32_t serverCertificate() override {
    if (SSL_get0_peer_certificate(ssl_)) return 0;
    LogDebug("QueryContextAttributes() error 0x%08x", SEC_E_INTERNAL_ERROR);
    return SEC_E_INTERNAL_ERROR;
  }

  uint32_t verify(bool* policyError) override {
    *policyError = false;
    if (!SSL_get0_peer_certificate(ssl_)) {
      LogDebug("Server certificate context is null");
      return SEC_E_WRONG_PRINCIPAL;
    }
    long result = SSL_get_verify_result(ssl_);
    uint32_t policy = PolicyErrorOf(result);
    if (policy != 0) {
      LogDebug("Certificate verification: %s", X509_verify_cert_error_string(result));
      *policyError = true;
    }
    return policy;
  }

  void forgetSession() override { Sessions().forget(sessionKey_); }

  uint32_t streamSizes(StreamSizes* sizes) override {
    sizes->header = kRecordHeader;
    sizes->trailer = kRecordTrailer;
    sizes->message = 32768 - kRecordHeader - kRecordTrailer;
    return 0;
  }
  size_t plainPerRecord() const override { return 16384 - kRecordHeader - kRecordTrailer; }

  uint32_t encrypt(const char* plain, size_t n, std::string& out) override {
    if (SSL_write(ssl_, plain, int(n)) != int(n)) return SEC_E_INTERNAL_ERROR;
    drain(out);
    return 0;
  }

  Read read(char* block, size_t capacity, size_t* n, std::string& out, uint32_t* failure) override {
    ERR_clear_error();
    int got = SSL_read(ssl_, block, int(capacity));
    drain(out);  // key updates and renegotiation answers
    if (got > 0) {
      *n = size_t(got);
      return Read::Data;
    }
    int why = SSL_get_error(ssl_, got);
    if (why == SSL_ERROR_ZERO_RETURN) return Read::Closed;
    if (why == SSL_ERROR_WANT_READ) return Read::WantInput;
    *failure = SEC_E_ILLEGAL_MESSAGE;
    return Read::Failed;
  }

  // A record read in part sits in OpenSSL's own buffer, not in the memory BIO.
  bool partial() const override { return SSL_has_pending(ssl_) == 1 || BIO_ctrl_pending(in_) > 0; }

 private:
  void drain(std::string& out) {
    char block[16384 + 512];
    int n;
    while ((n = BIO_read(out_, block, sizeof block)) > 0) out.append(block, size_t(n));
  }

  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // records received, for OpenSSL to read
  BIO* out_ = nullptr;  // records OpenSSL produced, to send
  std::string sessionKey_;
};

}  // namespace

std::unique_ptr<TlsEngine> MakeTlsEngine() { return std::make_unique<OpenSslEngine>(); }

}  // namespace zel
