// NTLM with the process's default credentials (Linux: gss-ntlmssp through GSSAPI, with winbind or
// the file named by NTLM_USER_FILE; Windows: the SSPI "NTLM" package with the account the process
// runs under): one client context, stepped through negotiate and authenticate.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace zel {

class NtlmClient {
 public:
  virtual ~NtlmClient() = default;
  // One step with the server's challenge (none on the first): 1 more steps needed, 0 complete,
  // -1 failure (with the reason in *failure). *token is the token to send, empty when none.
  virtual int step(const std::string& service, const std::string& host, const std::optional<std::string>& challenge,
                   std::string* token, std::string* failure) = 0;
};
std::unique_ptr<NtlmClient> MakeNtlmClient();

}  // namespace zel
