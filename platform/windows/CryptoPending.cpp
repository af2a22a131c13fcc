// Stands in, in the Windows build, for the pieces that go through CryptoAPI and SChannel until
// they are built: the stored-password cipher and the TLS channel. Every call fails: no password is
// decrypted, no backup is written, and every connection to the exchange server fails with a logged
// error, so nothing is ever sent in the clear.
#include <cstring>

#include "common/Log.h"
#include "config/PasswordCipher.h"
#include "net/CPChannel.h"

namespace zel {

void WipeBytes(void* data, size_t n) {
  if (!data || !n) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (n--) *p++ = 0;
}

std::string_view BackupPassphrase() { return {}; }
OptSecret DecryptText(const std::optional<std::string>&, const std::optional<std::string>&) { return std::nullopt; }
std::optional<std::string> EncryptText(const std::optional<std::string>&, const std::optional<std::string_view>&) {
  return std::nullopt;
}
std::optional<std::string> EncryptBlob(std::string_view) { return std::nullopt; }
std::optional<std::string> DecryptBlob(std::string_view) { return std::nullopt; }

struct CPChannel::Tls {};

CPChannel::CPChannel(CPHostCache* hosts) : socket_(hosts) {}
CPChannel::~CPChannel() { disconnect(); }
bool CPChannel::connect(const std::string& host, uint16_t, const CPConfigProxy*) {
  LogError("Cannot connect to %s: this build has no TLS channel", host.c_str());
  return false;
}
bool CPChannel::handshake() { return false; }
int64_t CPChannel::send(ASVariableBuffer&) { return -1; }
int64_t CPChannel::receive(ASVariableBuffer&) { return -1; }
void CPChannel::disconnect() { connected_ = false; }
bool CPChannel::resumed() const { return false; }
const char* CertificateErrorText(uint32_t) { return "Unknown reason"; }

}  // namespace zel
