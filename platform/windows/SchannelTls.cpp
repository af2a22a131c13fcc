// The TLS engine on SChannel ("Microsoft Unified Security Protocol Provider"): credentials with
// manual validation, the client handshake collected in a 32768-byte block, records decrypted in a
// record buffer of at least 32768 bytes. The server certificate is checked by hand through
// CertGetCertificateChain and the SSL chain policy with the host name; no policy error is ignored.
// SChannel keeps and resumes sessions itself, per target name.
#define SECURITY_WIN32
#include <windows.h>
// clang-format off
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/TextConv.h"
#include "platform/TlsEngine.h"

namespace zel {
namespace {

constexpr uint32_t kInternalError = 0x80090304;   // SEC_E_INTERNAL_ERROR
constexpr uint32_t kWrongPrincipal = 0x80090322;  // SEC_E_WRONG_PRINCIPAL
constexpr DWORD kProtocols = 0xFC0;               // client and server bits of TLS 1.0, 1.1 and 1.2
constexpr DWORD kCredFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
static_assert(kContextFlags == 0xC11C);
static_assert(kCredFlags == 0x18);
constexpr size_t kHandshakeBlock = 32768;

class SchannelEngine final : public TlsEngine {
 public:
  ~SchannelEngine() override {
    if (serverCert_) CertFreeCertificateContext(serverCert_);
    if (contextValid_) DeleteSecurityContext(&context_);
    if (credentialsHeld_) FreeCredentialsHandle(&credentials_);
  }

  uint32_t begin(const std::string& host, const std::string&) override {
    auto wide = Utf8ToWide(host);
    if (wide) target_.assign(wide->begin(), wide->end());
    SCHANNEL_CRED description{};
    description.dwVersion = SCHANNEL_CRED_VERSION;
    description.grbitEnabledProtocols = kProtocols;
    description.dwFlags = kCredFlags;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                  &description, nullptr, nullptr, &credentials_, &expiry);
    if (status != SEC_E_OK) {
      LogDebug("AcquireCredentialsHandle() error 0x%08x", unsigned(status));
      return uint32_t(status);
    }
    credentialsHeld_ = true;
    return 0;
  }

  void feed(const char* data, size_t n) override {
    if (phase_ == Phase::Data) {
      n = std::min(n, records_.size() - recordFill_);
      std::memcpy(records_.data() + recordFill_, data, n);
      recordFill_ += n;
    } else {
      n = std::min(n, block_.size() - blockFill_);
      std::memcpy(block_.data() + blockFill_, data, n);
      blockFill_ += n;
      needInput_ = false;
    }
  }

  size_t room() const override {
    if (phase_ == Phase::Data) return std::min(records_.size() - recordFill_, size_t(sizes_.cbMaximumMessage));
    return block_.size() - blockFill_;
  }

  uint32_t handshake(std::string& out) override {
    if (phase_ == Phase::Start) return firstStep(out);
    return negotiate(out);
  }

  bool resumed() const override {
    SecPkgContext_SessionInfo info{};
    if (!contextValid_) return false;
    if (QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_SESSION_INFO, &info) != SEC_E_OK)
      return false;
    return (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
  }

  uint32_t serverCertificate() override {
    if (serverCert_) {
      CertFreeCertificateContext(serverCert_);
      serverCert_ = nullptr;
    }
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &serverCert_);
    if (status != SEC_E_OK) {
      LogDebug("QueryContextAttributes() error 0x%08x", unsigned(status));
      serverCert_ = nullptr;
      return uint32_t(status);
    }
    return 0;
  }

  uint32_t verify(bool* policyError) override {
    *policyError = false;
    if (!serverCert_) {
      LogDebug("Server certificate context is null");
      return kWrongPrincipal;
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char serverGated[] = szOID_SERVER_GATED_CRYPTO;
    char netscapeGated[] = szOID_SGC_NETSCAPE;
    LPSTR usages[] = {serverAuth, serverGated, netscapeGated};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, serverCert_, nullptr, serverCert_->hCertStore, &chainPara, 0, nullptr,
                                 &chain)) {
      LogDebug("CertGetCertificateChain() error %d", int(GetLastError()));
      return kWrongPrincipal;
    }
    HTTPSPolicyCallbackData ssl{};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = 0;
    ssl.pwszServerName = target_.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.dwFlags = 0;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof policyStatus;
    uint32_t result = 0;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus)) {
      LogDebug("CertVerifyCertificateChainPolicy() error %d", int(GetLastError()));
      result = kWrongPrincipal;
    } else if (policyStatus.dwError != 0) {
      result = uint32_t(policyStatus.dwError);
      *policyError = true;
    }
    CertFreeCertificateChain(chain);
    return result;
  }

  void forgetSession() override {}

  uint32_t streamSizes(StreamSizes* sizes) override {
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK) return uint32_t(status);
    const long floor = 32768 - long(sizes_.cbHeader) - long(sizes_.cbTrailer);
    if (long(sizes_.cbMaximumMessage) < floor) sizes_.cbMaximumMessage = ULONG(floor);
    sizes->header = int(sizes_.cbHeader);
    sizes->message = int(sizes_.cbMaximumMessage);
    sizes->trailer = int(sizes_.cbTrailer);
    // Bytes that came after the last handshake message are the first records.
    std::vector<char> records(sizes_.cbHeader + sizes_.cbTrailer + sizes_.cbMaximumMessage);
    recordFill_ = std::min(leftover_.size(), records.size());
    std::memcpy(records.data(), leftover_.data(), recordFill_);
    records_.swap(records);
    leftover_.clear();
    phase_ = Phase::Data;
    return 0;
  }

  size_t plainPerRecord() const override { return 16384 - sizes_.cbHeader - sizes_.cbTrailer; }

  uint32_t encrypt(const char* plain, size_t n, std::string& out) override {
    std::vector<char> record(sizes_.cbHeader + n + sizes_.cbTrailer);
    std::memcpy(record.data() + sizes_.cbHeader, plain, n);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {ULONG(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = EncryptMessage(&context_, 0, &description, 0);
    if (status != SEC_E_OK) return uint32_t(status);
    // The trailer follows the data as SChannel sized them.
    out.append(static_cast<const char*>(buffers[0].pvBuffer), buffers[0].cbBuffer);
    out.append(static_cast<const char*>(buffers[1].pvBuffer), buffers[1].cbBuffer);
    out.append(static_cast<const char*>(buffers[2].pvBuffer), buffers[2].cbBuffer);
    return 0;
  }

  Read read(char* block, size_t capacity, size_t* n, std::string& out, uint32_t* failure) override {
    for (;;) {
      if (plainAt_ < plain_.size()) {
        *n = std::min(capacity, plain_.size() - plainAt_);
        std::memcpy(block, plain_.data() + plainAt_, *n);
        plainAt_ += *n;
        if (plainAt_ == plain_.size()) {
          plain_.clear();
          plainAt_ = 0;
        }
        return Read::Data;
      }
      if (phase_ == Phase::Renegotiate) {
        uint32_t status = negotiate(out);
        if (status == kTlsWantInput) return Read::WantInput;
        if (status != SEC_E_OK) {
          LogDebug("doNegotiate() failed");
          *failure = status;
          return Read::Failed;
        }
        // The handshake's leftover bytes are records again.
        phase_ = Phase::Data;
        recordFill_ = std::min(leftover_.size(), records_.size());
        std::memcpy(records_.data(), leftover_.data(), recordFill_);
        leftover_.clear();
        continue;
      }
      if (recordFill_ == 0) return Read::WantInput;
      SecBuffer buffers[4] = {
          {ULONG(recordFill_), SECBUFFER_DATA, records_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Read::WantInput;
      if (status == SEC_I_CONTEXT_EXPIRED) {
        recordFill_ = 0;
        return Read::Closed;
      }
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
        *failure = uint32_t(status);
        return Read::Failed;
      }
      SecBuffer* data = nullptr;
      SecBuffer* extra = nullptr;
      for (int i = 1; i < 4; ++i) {
        if (!data && buffers[i].BufferType == SECBUFFER_DATA) data = &buffers[i];
        if (!extra && buffers[i].BufferType == SECBUFFER_EXTRA) extra = &buffers[i];
      }
      if (data && data->cbBuffer > 0) plain_.assign(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
      const size_t extraBytes = extra ? extra->cbBuffer : 0;
      if (status == SEC_I_RENEGOTIATE) {
        // The bytes after the record are the server's handshake message.
        LogDebug("Server requests renegotiation");
        std::memcpy(block_.data(), records_.data() + recordFill_ - extraBytes, extraBytes);
        blockFill_ = extraBytes;
        needInput_ = extraBytes == 0;
        recordFill_ = 0;
        phase_ = Phase::Renegotiate;
        continue;
      }
      // A close notification shows on some systems as a success without data.
      const bool closed = plain_.empty() && extraBytes == 0;
      std::memmove(records_.data(), records_.data() + recordFill_ - extraBytes, extraBytes);
      recordFill_ = extraBytes;
      if (closed) return Read::Closed;
    }
  }

  bool partial() const override { return recordFill_ > 0 || phase_ == Phase::Renegotiate; }

 private:
  enum class Phase { Start, Handshake, Renegotiate, Data };

  uint32_t firstStep(std::string& out) {
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    ULONG attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials_, nullptr, target_.data(), kContextFlags, 0, SECURITY_NATIVE_DREP,
                                   nullptr, 0, &context_, &output, &attributes, &expiry);
    if (status != SEC_I_CONTINUE_NEEDED) {
      LogDebug("InitializeSecurityContext() error 0x%08x", unsigned(status));
      if (token.pvBuffer) FreeContextBuffer(token.pvBuffer);
      return uint32_t(status);
    }
    contextValid_ = true;
    takeToken(token, out);
    phase_ = Phase::Handshake;
    blockFill_ = 0;
    needInput_ = true;
    return kTlsWantInput;
  }

  // The handshake loop of the first handshake and of a renegotiation: reads when SChannel asks for
  // more, or when it wants to continue and nothing is left in the block.
  uint32_t negotiate(std::string& out) {
    for (;;) {
      if (needInput_) return kTlsWantInput;
      SecBuffer input[2] = {{ULONG(blockFill_), SECBUFFER_TOKEN, block_.data()}, {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
      SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
      ULONG attributes = 0;
      TimeStamp expiry;
      SECURITY_STATUS status =
          InitializeSecurityContextW(&credentials_, &context_, nullptr, kContextFlags, 0, SECURITY_NATIVE_DREP,
                                     &inputDesc, 0, nullptr, &output, &attributes, &expiry);
      if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
          (FAILED(status) && (attributes & ISC_RET_EXTENDED_ERROR))) {
        takeToken(token, out);
      } else if (token.pvBuffer) {
        FreeContextBuffer(token.pvBuffer);
      }
      const size_t extra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (blockFill_ == block_.size()) {
          LogDebug("InitializeSecurityContext() error 0x%08x", unsigned(status));
          return uint32_t(status);  // a handshake message larger than the block
        }
        needInput_ = true;
        continue;
      }
      if (status == SEC_E_OK) {
        leftover_.assign(block_.data() + blockFill_ - extra, extra);
        blockFill_ = 0;
        return 0;
      }
      if (FAILED(status)) {
        LogDebug("InitializeSecurityContext() error 0x%08x", unsigned(status));
        return uint32_t(status);
      }
      if (status != SEC_I_CONTINUE_NEEDED) return uint32_t(status);  // SEC_I_INCOMPLETE_CREDENTIALS
      if (extra > 0) {
        std::memmove(block_.data(), block_.data() + blockFill_ - extra, extra);
        blockFill_ = extra;
      } else {
        blockFill_ = 0;
        needInput_ = true;
      }
    }
  }

  void takeToken(SecBuffer& token, std::string& out) {
    if (!token.pvBuffer) return;
    out.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
  }

  CredHandle credentials_{};
  CtxtHandle context_{};
  bool credentialsHeld_ = false;
  bool contextValid_ = false;
  PCCERT_CONTEXT serverCert_ = nullptr;
  std::wstring target_;
  Phase phase_ = Phase::Start;
  std::vector<char> block_ = std::vector<char>(kHandshakeBlock);  // handshake input
  size_t blockFill_ = 0;
  bool needInput_ = true;
  std::string leftover_;  // bytes after the last handshake message
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> records_;  // encrypted bytes on their way in
  size_t recordFill_ = 0;
  std::string plain_;  // decrypted bytes not yet handed out
  size_t plainAt_ = 0;
};

}  // namespace

std::unique_ptr<TlsEngine> MakeTlsEngine() { return std::make_unique<SchannelEngine>(); }

}  // namespace zel
