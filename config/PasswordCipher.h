// Stored passwords: base64 of a Triple-DES ciphertext whose key derives from a passphrase (the
// matching login, or the fixed passphrase of the configuration backup). Byte-compatible with the
// Windows CryptoAPI form: key = first 24 bytes of SHA1(B1) || SHA1(B2), where B1/B2 are 64 bytes of
// 0x36/0x5C with their first 20 bytes XORed with SHA1(passphrase); CBC, zero IV, PKCS#5 padding.
// Nothing here reports anything; every failure gives an absent result.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/SecretString.h"

namespace zel {

// The clear text of a stored form, or absent (no or empty passphrase, nothing decoded, bad padding).
OptSecret DecryptText(const std::optional<std::string>& passphrase, const std::optional<std::string>& stored);
// The stored form of a clear text (which may be empty), or absent.
std::optional<std::string> EncryptText(const std::optional<std::string>& passphrase,
                                       const std::optional<std::string_view>& clear);

// The same cipher keyed by the fixed passphrase, on raw bytes (the configuration backup).
std::optional<std::string> EncryptBlob(std::string_view bytes);
std::optional<std::string> DecryptBlob(std::string_view bytes);

// The fixed passphrase the backup and its location are enciphered with.
std::string_view BackupPassphrase();

}  // namespace zel
