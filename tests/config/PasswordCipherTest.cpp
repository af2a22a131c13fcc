#include <gtest/gtest.h>

#include "config/PasswordCipher.h"

namespace zel {
namespace {

// Computed by testing/cipher_vectors.sh, with python's hashlib and the openssl command line only.
struct Vector {
  const char* login;
  const char* password;
  const char* stored;
};
constexpr Vector kVectors[] = {
    {"user1", "", "0jlLIhi4mSA="},
    {"user1", "secret", "Daa5X2pY6jM="},
    {"user1", "12345678", "N8pZbsBAWlryZlpf4FwMiw=="},
    {"Иванов", "пароль-Пароль", "aEAXFtJ9Be9BYfrsdi4BClpMQPCZEjMZkJOIYnsbhgE="},
    {"LOGIN", "a much longer password with spaces & symbols <>\"",
     "1Erey/x01Yc5retiH0wiKFWqjgz5pi4an+OWiBwt9fqKaIzc7/keaBlP6OJjul26zpPAWvb0z8Y="},
};

TEST(PasswordCipher, MatchesIndependentlyComputedStoredForms) {
  for (const auto& v : kVectors) {
    EXPECT_EQ(EncryptText(std::string(v.login), std::string_view(v.password)), std::string(v.stored)) << v.login;
    auto clear = DecryptText(std::string(v.login), std::string(v.stored));
    ASSERT_TRUE(clear) << v.login;
    EXPECT_EQ(clear->str(), v.password);
  }
}

TEST(PasswordCipher, LengthsFollowTheBlockPadding) {
  EXPECT_EQ(EncryptText(std::string("u"), std::string_view(""))->size(), 12u);
  EXPECT_EQ(EncryptText(std::string("u"), std::string_view("1234567"))->size(), 12u);
  EXPECT_EQ(EncryptText(std::string("u"), std::string_view("12345678"))->size(), 24u);
  auto empty = DecryptText(std::string("user1"), std::string("0jlLIhi4mSA="));
  ASSERT_TRUE(empty) << "an empty password is present and empty";
  EXPECT_TRUE(empty->empty());
}

TEST(PasswordCipher, RefusesWhatItCannotDecrypt) {
  const std::optional<std::string> stored = "N8pZbsBAWlryZlpf4FwMiw==";
  EXPECT_EQ(DecryptText(std::string("user1"), std::string("N8pZ bsBA\r\nWlryZlpf4FwM iw"))->str(), "12345678")
      << "blanks, line breaks and padding inside the text are skipped";
  auto other = DecryptText(std::string("user2"), stored);
  EXPECT_TRUE(!other || other->str() != "12345678") << "another login never gives the password back";
  EXPECT_FALSE(DecryptText(std::string(""), stored));
  EXPECT_FALSE(DecryptText(std::nullopt, stored));
  EXPECT_FALSE(DecryptText(std::string("user1"), std::nullopt));
  EXPECT_FALSE(DecryptText(std::string("user1"), std::string("")));
  EXPECT_FALSE(DecryptText(std::string("user1"), std::string("!!!")));
  EXPECT_FALSE(DecryptText(std::string("user1"), std::string("N8pZbsBA"))) << "6 bytes are not a whole block";
  EXPECT_FALSE(EncryptText(std::string(""), std::string_view("x")));
  EXPECT_FALSE(EncryptText(std::string("u"), std::nullopt));
}

TEST(PasswordCipher, BlobsUseTheFixedPassphrase) {
  auto blob = EncryptBlob("<config/>");
  ASSERT_TRUE(blob);
  auto text = DecryptText(std::string(BackupPassphrase()), std::string("F04ipbUpooBg3G4SDljEsw=="));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->str(), "<config/>");
  EXPECT_EQ(DecryptBlob(*blob), std::string("<config/>"));
  std::string damaged = *blob;
  damaged.back() ^= 1;
  auto bad = DecryptBlob(damaged);
  EXPECT_TRUE(!bad || *bad != "<config/>");
  EXPECT_FALSE(DecryptBlob("1234567"));
}

}  // namespace
}  // namespace zel
