#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ntlmssp.h>

#include <cstring>

#include "platform/Ntlm.h"

namespace zel {
namespace {

gss_OID_desc kNtlmMech = {GSS_NTLMSSP_OID_LENGTH, const_cast<char*>(GSS_NTLMSSP_OID_STRING)};

std::string Describe(const char* what, OM_uint32 major, OM_uint32 minor) {
  std::string text = what;
  for (OM_uint32 code : {major, minor}) {
    OM_uint32 ctx = 0, ignored;
    gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
    int type = code == major ? GSS_C_GSS_CODE : GSS_C_MECH_CODE;
    if (code == 0 || gss_display_status(&ignored, code, type, &kNtlmMech, &ctx, &message) != GSS_S_COMPLETE) continue;
    text += "; ";
    text.append(static_cast<const char*>(message.value), message.length);
    gss_release_buffer(&ignored, &message);
  }
  return text;
}

class GssNtlmClient final : public NtlmClient {
 public:
  ~GssNtlmClient() override {
    OM_uint32 minor;
    if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
    if (credentials_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credentials_);
    if (target_ != GSS_C_NO_NAME) gss_release_name(&minor, &target_);
  }

  int step(const std::string& service, const std::string& host, const std::optional<std::string>& challenge,
           std::string* token, std::string* failure) override {
    OM_uint32 major, minor = 0;
    token->clear();
    if (credentials_ == GSS_C_NO_CREDENTIAL) {
      gss_OID_set_desc mechs = {1, &kNtlmMech};
      major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &credentials_, nullptr,
                               nullptr);
      if (GSS_ERROR(major)) {
        *failure = Describe("AcquireCredentialsHandle failed", major, minor);
        return -1;
      }
      std::string name = service + "@" + host;
      gss_buffer_desc nameBuffer = {name.size(), name.data()};
      major = gss_import_name(&minor, &nameBuffer, GSS_C_NT_HOSTBASED_SERVICE, &target_);
      if (GSS_ERROR(major)) {
        *failure = Describe("InitializeSecurityContext failed", major, minor);
        return -1;
      }
    }
    gss_buffer_desc input = GSS_C_EMPTY_BUFFER;
    if (challenge) input = {challenge->size(), const_cast<char*>(challenge->data())};
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    major = gss_init_sec_context(&minor, credentials_, &context_, target_, &kNtlmMech, GSS_C_CONF_FLAG, 0,
                                 GSS_C_NO_CHANNEL_BINDINGS, challenge ? &input : GSS_C_NO_BUFFER, nullptr, &output,
                                 nullptr, nullptr);
    if (output.length) token->assign(static_cast<const char*>(output.value), output.length);
    OM_uint32 ignored;
    gss_release_buffer(&ignored, &output);
    if (GSS_ERROR(major)) {
      *failure = Describe("InitializeSecurityContext failed", major, minor);
      return -1;
    }
    return major == GSS_S_CONTINUE_NEEDED ? 1 : 0;
  }

 private:
  gss_cred_id_t credentials_ = GSS_C_NO_CREDENTIAL;
  gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
  gss_name_t target_ = GSS_C_NO_NAME;
};

}  // namespace

std::unique_ptr<NtlmClient> MakeNtlmClient() { return std::make_unique<GssNtlmClient>(); }

}  // namespace zel
