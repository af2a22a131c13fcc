#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "aslib/CPBase64.h"

namespace zel {
namespace {

std::string OpenSslEncode(const std::string& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(data.data()), int(data.size()));
  out.resize(size_t(n));
  return out;
}

TEST(CPBase64, KnownValues) {
  CPBase64 codec;
  EXPECT_EQ(codec.encode("abc"), "YWJj");
  EXPECT_EQ(codec.encode("ab"), "YWI=");
  EXPECT_EQ(codec.encode("a"), "YQ==");
  EXPECT_EQ(codec.encode(""), "");
  EXPECT_EQ(CPBase64::decode("YW\r\nJj"), "abc");
  EXPECT_EQ(CPBase64::decode("YWI="), "ab");
  EXPECT_EQ(CPBase64::decode("YWI"), "ab") << "a final group of three characters gives two bytes";
  EXPECT_EQ(CPBase64::decode("YQ"), "a");
  EXPECT_EQ(CPBase64::decode("Y"), "") << "a lone character gives nothing";
  EXPECT_EQ(CPBase64::decode(""), "");
  EXPECT_EQ(CPBase64::decode("!!*** Y W J j ***"), "abc");
}

TEST(CPBase64, StreamingMatchesOneBlockAndOpenSsl) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string data(rng() % 700, '\0');
    for (auto& c : data) c = char(rng());
    CPBase64 stream;
    std::string out;
    size_t at = 0;
    while (at < data.size()) {
      size_t n = std::min<size_t>(rng() % 9, data.size() - at);
      if (auto part = stream.encodePart(data.data() + at, n)) out += *part;
      at += n;
    }
    if (auto tail = stream.finish()) out += *tail;
    ASSERT_EQ(out, OpenSslEncode(data));
    ASSERT_EQ(CPBase64().encode(data), out);
    ASSERT_EQ(CPBase64::decode(out), data);
  }
}

TEST(CPBase64, FinishGivesNoneWhenNothingIsLeftOver) {
  CPBase64 codec;
  EXPECT_EQ(codec.encodePart("abc", 3), std::optional<std::string>("YWJj"));
  EXPECT_EQ(codec.finish(), std::nullopt);
  EXPECT_EQ(codec.encodePart("abcd", 4), std::optional<std::string>("YWJj"));
  EXPECT_EQ(codec.finish(), std::optional<std::string>("ZA=="));
  EXPECT_EQ(codec.encodePart("x", 1), std::nullopt) << "no complete group yet";
  EXPECT_EQ(codec.encodePart("", 0), std::nullopt);
}

}  // namespace
}  // namespace zel
