// The stored-password scheme over the system's Triple-DES (platform/Crypto.h). Clear texts live in
// wiped storage only.
#include "config/PasswordCipher.h"

#include <string>

#include "aslib/CPBase64.h"
#include "platform/Crypto.h"

namespace zel {

void WipeBytes(void* data, size_t n) { WipeMemory(data, n); }

namespace {

constexpr std::string_view kBackupPassphrase =
    "Amber lanterns drift above the quiet harbour while seven patient clockmakers polish brass gears "
    "beneath the northern arches.";
static_assert(kBackupPassphrase.size() == 124);

// Runs the cipher over the whole input in a buffer of its length plus 32 bytes; padded output when
// encrypting, padding checked when decrypting.
std::optional<SecretString> Crypt(std::string_view passphrase, std::string_view input, bool encrypt) {
  std::string out(input.size() + 32, '\0');
  const int64_t n = TripleDesCrypt(passphrase, input, encrypt, out.data(), out.size());
  std::optional<SecretString> result;
  if (n >= 0) result.emplace(std::string_view(out.data(), size_t(n)));
  WipeBytes(out.data(), out.size());
  return result;
}

}  // namespace

std::string_view BackupPassphrase() { return kBackupPassphrase; }

OptSecret DecryptText(const std::optional<std::string>& passphrase, const std::optional<std::string>& stored) {
  if (!passphrase || passphrase->empty() || !stored) return std::nullopt;
  std::string cipher = CPBase64::decode(*stored);
  if (cipher.empty()) return std::nullopt;
  return Crypt(*passphrase, cipher, false);
}

std::optional<std::string> EncryptText(const std::optional<std::string>& passphrase,
                                       const std::optional<std::string_view>& clear) {
  if (!passphrase || passphrase->empty() || !clear) return std::nullopt;
  auto cipher = Crypt(*passphrase, *clear, true);
  if (!cipher) return std::nullopt;
  return CPBase64().encode(cipher->view());
}

std::optional<std::string> EncryptBlob(std::string_view bytes) {
  auto cipher = Crypt(kBackupPassphrase, bytes, true);
  if (!cipher) return std::nullopt;
  return cipher->str();
}

std::optional<std::string> DecryptBlob(std::string_view bytes) {
  auto clear = Crypt(kBackupPassphrase, bytes, false);
  if (!clear) return std::nullopt;
  return clear->str();
}

}  // namespace zel
