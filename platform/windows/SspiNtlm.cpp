// NTLM through the SSPI "NTLM" package with the account the process runs under: one credentials
// handle and one client context, stepped through negotiate and authenticate for the service
// principal "service/host". Both handles are freed with the client.
#define SECURITY_WIN32
#include <windows.h>
// clang-format off
#include <security.h>
#include <sspi.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

#include "common/TextConv.h"
#include "platform/Ntlm.h"

namespace zel {
namespace {

constexpr ULONG kRequirements = ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY;
static_assert(kRequirements == 0x112);

std::string Describe(const char* what, SECURITY_STATUS status) {
  char text[128];
  snprintf(text, sizeof text, "%s; SSPI: 0x%08x", what, unsigned(status));
  return text;
}

class SspiNtlmClient final : public NtlmClient {
 public:
  ~SspiNtlmClient() override {
    if (contextValid_) DeleteSecurityContext(&context_);
    if (credentialsHeld_) FreeCredentialsHandle(&credentials_);
  }

  int step(const std::string& service, const std::string& host, const std::optional<std::string>& challenge,
           std::string* token, std::string* failure) override {
    token->clear();
    auto principal = Utf8ToWide(service + "/" + host);
    if (!principal) return -1;
    std::wstring target(principal->begin(), principal->end());
    TimeStamp expiry;
    if (!credentialsHeld_) {
      SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(L"NTLM"), SECPKG_CRED_OUTBOUND,
                                                         nullptr, nullptr, nullptr, nullptr, &credentials_, &expiry);
      if (status != SEC_E_OK) {
        *failure = Describe("AcquireCredentialsHandle failed", status);
        return -1;
      }
      credentialsHeld_ = true;
    }
    std::vector<char> input(challenge ? challenge->begin() : std::string::const_iterator(),
                            challenge ? challenge->end() : std::string::const_iterator());
    SecBuffer inBuffer{ULONG(input.size()), SECBUFFER_TOKEN, input.empty() ? nullptr : input.data()};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials_, contextValid_ ? &context_ : nullptr, target.data(), kRequirements, 0,
                                   SECURITY_NATIVE_DREP, &inDesc, 0, &context_, &outDesc, &attributes, &expiry);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) contextValid_ = true;
    if (outBuffer.pvBuffer) {
      if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
        token->assign(static_cast<const char*>(outBuffer.pvBuffer), outBuffer.cbBuffer);
      FreeContextBuffer(outBuffer.pvBuffer);
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      *failure = Describe("InitializeSecurityContext failed", status);
      return -1;
    }
    return status == SEC_I_CONTINUE_NEEDED ? 1 : 0;
  }

 private:
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool credentialsHeld_ = false;
  bool contextValid_ = false;
};

}  // namespace

std::unique_ptr<NtlmClient> MakeNtlmClient() { return std::make_unique<SspiNtlmClient>(); }

}  // namespace zel
