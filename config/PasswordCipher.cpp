// OpenSSL EVP implementation of the CryptoAPI 3DES scheme. Keys and clear texts live in wiped
// storage only.
#include "config/PasswordCipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <memory>

#include "aslib/CPBase64.h"

namespace zel {

void WipeBytes(void* data, size_t n) {
  if (data && n) OPENSSL_cleanse(data, n);
}

namespace {

constexpr std::string_view kBackupPassphrase =
    "Amber lanterns drift above the quiet harbour while seven patient clockmakers polish brass gears "
    "beneath the northern arches.";
static_assert(kBackupPassphrase.size() == 124);

// A 24-byte 3DES key that wipes itself.
struct Key {
  std::array<unsigned char, 24> bytes{};
  ~Key() { WipeBytes(bytes.data(), bytes.size()); }
};

// CryptDeriveKey for a key longer than the hash: SHA-1 of the two padded, hash-XORed blocks.
bool DeriveKey(std::string_view passphrase, Key& key) {
  unsigned char hash[SHA_DIGEST_LENGTH];
  if (!SHA1(reinterpret_cast<const unsigned char*>(passphrase.data()), passphrase.size(), hash)) return false;
  unsigned char b1[64], b2[64], d1[SHA_DIGEST_LENGTH], d2[SHA_DIGEST_LENGTH];
  for (int i = 0; i < 64; ++i) {
    b1[i] = 0x36;
    b2[i] = 0x5C;
  }
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) {
    b1[i] ^= hash[i];
    b2[i] ^= hash[i];
  }
  bool ok = SHA1(b1, sizeof b1, d1) && SHA1(b2, sizeof b2, d2);
  if (ok) {
    std::copy(d1, d1 + 20, key.bytes.begin());
    std::copy(d2, d2 + 4, key.bytes.begin() + 20);
  }
  WipeBytes(hash, sizeof hash);
  WipeBytes(b1, sizeof b1);
  WipeBytes(b2, sizeof b2);
  WipeBytes(d1, sizeof d1);
  WipeBytes(d2, sizeof d2);
  return ok;
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// Runs 3DES-CBC over the whole input; padded output when encrypting, padding checked when decrypting.
std::optional<SecretString> Crypt(std::string_view passphrase, std::string_view input, bool encrypt) {
  Key key;
  if (!DeriveKey(passphrase, key)) return std::nullopt;
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  const unsigned char iv[8] = {0};
  if (EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.bytes.data(), iv, encrypt ? 1 : 0) != 1)
    return std::nullopt;
  std::string out(input.size() + 32, '\0');
  int n1 = 0, n2 = 0;
  bool ok = EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n1,
                             reinterpret_cast<const unsigned char*>(input.data()), int(input.size())) == 1 &&
            EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + n1, &n2) == 1;
  std::optional<SecretString> result;
  if (ok) result.emplace(std::string_view(out.data(), size_t(n1 + n2)));
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
