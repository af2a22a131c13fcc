// The system's cryptography for stored passwords and mail boundaries: Triple-DES keyed from a
// passphrase the way CryptoAPI's CryptDeriveKey does it, the MD5 digest of fresh random bytes, and
// wiping. Both systems give the same bytes for the same passphrase and input, so a configuration
// written on one reads on the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zel {

// 3DES-CBC with an all-zero IV and PKCS#5 padding under the 168-bit key derived from
// SHA1(passphrase), over `input` into `output` (at least input.size() + 32 bytes). The count of
// bytes written, or -1 (bad padding, a length that is not whole blocks, a provider that fails).
int64_t TripleDesCrypt(std::string_view passphrase, std::string_view input, bool encrypt, char* output,
                       size_t capacity);

// The MD5 digest of 256 fresh random bytes; false when the random source or the digest fails.
bool DigestOfRandomBytes(unsigned char digest[16]);

// Overwrites `n` bytes with zeros in a way the compiler cannot drop.
void WipeMemory(void* data, size_t n);

}  // namespace zel
