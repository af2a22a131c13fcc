// The password cipher, random digests and wiping on CryptoAPI: the "Microsoft Enhanced
// Cryptographic Provider v1.0" in the default key container (made when it is missing), a SHA-1
// hash of the passphrase, CryptDeriveKey to a 168-bit 3DES key with the provider's defaults for a
// block cipher (CBC, zero IV, PKCS#5 padding). Every handle is released on every path, hash first.
#include <windows.h>
// clang-format off
#include <wincrypt.h>
// clang-format on

#include <cstring>

#include "platform/Crypto.h"

namespace zel {

void WipeMemory(void* data, size_t n) {
  if (data && n) SecureZeroMemory(data, n);
}

namespace {

constexpr DWORD kKeyFlags = 0x00A80000;  // a key length of 168 bits in the upper word

class Provider {
 public:
  // The enhanced provider in the default container, made on first use.
  bool openEnhanced() {
    if (CryptAcquireContextW(&handle_, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0)) return true;
    if (GetLastError() != DWORD(NTE_BAD_KEYSET)) return false;
    return CryptAcquireContextW(&handle_, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET);
  }
  // The default provider for random bytes and digests. An account that has no default container
  // yet is served by a container-less context, which is all random bytes and digests need.
  bool openDefault() {
    if (CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_FULL, 0)) return true;
    return CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  }
  ~Provider() {
    if (handle_) CryptReleaseContext(handle_, 0);
  }
  HCRYPTPROV get() const { return handle_; }

 private:
  HCRYPTPROV handle_ = 0;
};

class Hash {
 public:
  bool create(HCRYPTPROV provider, ALG_ID algorithm) { return CryptCreateHash(provider, algorithm, 0, 0, &handle_); }
  ~Hash() {
    if (handle_) CryptDestroyHash(handle_);
  }
  HCRYPTHASH get() const { return handle_; }

 private:
  HCRYPTHASH handle_ = 0;
};

class Key {
 public:
  bool derive(HCRYPTPROV provider, HCRYPTHASH hash) {
    return CryptDeriveKey(provider, CALG_3DES, hash, kKeyFlags, &handle_);
  }
  ~Key() {
    if (handle_) CryptDestroyKey(handle_);
  }
  HCRYPTKEY get() const { return handle_; }

 private:
  HCRYPTKEY handle_ = 0;
};

}  // namespace

int64_t TripleDesCrypt(std::string_view passphrase, std::string_view input, bool encrypt, char* output,
                       size_t capacity) {
  if (capacity < input.size() + 8 || capacity > 0x7fffffff) return -1;
  // Declared in reverse of their release: hash, then key, then the provider context.
  Provider provider;
  if (!provider.openEnhanced()) return -1;
  Key key;
  Hash hash;
  if (!hash.create(provider.get(), CALG_SHA1)) return -1;
  if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(passphrase.data()), DWORD(passphrase.size()), 0))
    return -1;
  if (!key.derive(provider.get(), hash.get())) return -1;
  std::memcpy(output, input.data(), input.size());
  DWORD length = DWORD(input.size());
  BYTE* data = reinterpret_cast<BYTE*>(output);
  const BOOL ok = encrypt ? CryptEncrypt(key.get(), 0, TRUE, 0, data, &length, DWORD(capacity))
                          : CryptDecrypt(key.get(), 0, TRUE, 0, data, &length);
  return ok ? int64_t(length) : -1;
}

bool DigestOfRandomBytes(unsigned char digest[16]) {
  Provider provider;
  if (!provider.openDefault()) return false;
  BYTE random[256];
  if (!CryptGenRandom(provider.get(), sizeof random, random)) return false;
  Hash hash;
  if (!hash.create(provider.get(), CALG_MD5)) return false;
  if (!CryptHashData(hash.get(), random, sizeof random, 0)) return false;
  DWORD length = 16;
  return CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) && length == 16;
}

}  // namespace zel
