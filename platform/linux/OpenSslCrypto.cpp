// The password cipher, random digests and wiping on OpenSSL libcrypto. CryptDeriveKey's rule for a
// key longer than the hash: key = the first 24 bytes of SHA1(B1) || SHA1(B2), where B1 and B2 are
// 64 bytes of 0x36 and 0x5C with their first 20 bytes XORed with SHA1(passphrase). Key material is
// wiped before it is freed.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <memory>

#include "platform/Crypto.h"

namespace zel {

void WipeMemory(void* data, size_t n) {
  if (data && n) OPENSSL_cleanse(data, n);
}

namespace {

// A 24-byte 3DES key that wipes itself.
struct Key {
  std::array<unsigned char, 24> bytes{};
  ~Key() { WipeMemory(bytes.data(), bytes.size()); }
};

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
  WipeMemory(hash, sizeof hash);
  WipeMemory(b1, sizeof b1);
  WipeMemory(b2, sizeof b2);
  WipeMemory(d1, sizeof d1);
  WipeMemory(d2, sizeof d2);
  return ok;
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

}  // namespace

int64_t TripleDesCrypt(std::string_view passphrase, std::string_view input, bool encrypt, char* output,
                       size_t capacity) {
  if (capacity < input.size() + 8) return -1;
  Key key;
  if (!DeriveKey(passphrase, key)) return -1;
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return -1;
  const unsigned char iv[8] = {0};
  if (EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.bytes.data(), iv, encrypt ? 1 : 0) != 1) return -1;
  int n1 = 0, n2 = 0;
  auto* out = reinterpret_cast<unsigned char*>(output);
  bool ok = EVP_CipherUpdate(ctx.get(), out, &n1, reinterpret_cast<const unsigned char*>(input.data()),
                             int(input.size())) == 1 &&
            EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) == 1;
  return ok ? int64_t(n1) + n2 : -1;
}

bool DigestOfRandomBytes(unsigned char digest[16]) {
  unsigned char random[256];
  if (RAND_bytes(random, sizeof random) != 1) return false;
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hashLength = 0;
  if (EVP_Digest(random, sizeof random, hash, &hashLength, EVP_md5(), nullptr) != 1 || hashLength != 16) return false;
  std::copy(hash, hash + 16, digest);
  return true;
}

}  // namespace zel
