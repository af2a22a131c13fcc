// The SSPI NTLM client's first step: on a system with NTLM for the process's account it gives a
// negotiate message (type 1) and asks for more; where the package is missing (Wine without
// Samba's ntlm_auth) it fails with the SSPI status in the text the proxy tunnel logs.
#include <gtest/gtest.h>

#include <string>

#include "platform/Ntlm.h"

namespace zel {
namespace {

TEST(SspiNtlm, FirstStepGivesANegotiateMessageOrTheSspiStatus) {
  auto client = MakeNtlmClient();
  std::string token, failure;
  int rc = client->step("HTTP", "proxy.example", std::nullopt, &token, &failure);
  if (rc < 0) {
    EXPECT_TRUE(token.empty());
    EXPECT_EQ(failure.rfind("AcquireCredentialsHandle failed; SSPI: 0x", 0), 0u) << failure;
    EXPECT_EQ(failure.size(), std::string("AcquireCredentialsHandle failed; SSPI: 0x").size() + 8) << failure;
    return;
  }
  EXPECT_EQ(rc, 1) << "negotiate, then authenticate";
  ASSERT_GE(token.size(), 12u);
  EXPECT_EQ(token.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(token[8], 1) << "a negotiate message";
}

}  // namespace
}  // namespace zel
