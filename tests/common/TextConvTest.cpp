#include <gtest/gtest.h>
#include <iconv.h>

#include "common/TextConv.h"

namespace zel {
namespace {

using OptU16 = std::optional<std::u16string>;
using OptStr = std::optional<std::string>;

struct Utf8Case {
  const char* name;
  OptStr in;
  OptU16 out;
};

TEST(Utf8ToWide, FollowsTheByteRulesWithoutValidating) {
  const Utf8Case cases[] = {
      {"absent", std::nullopt, std::nullopt},
      {"empty stays present", std::string(), std::u16string()},
      {"ascii", std::string("abc"), std::u16string(u"abc")},
      {"two-byte Cyrillic", std::string("\xD0\x96\xD1\x8F"), std::u16string(u"Жя")},
      {"three-byte start", std::string("\xE2\x82\xAC!"), std::u16string(u"€!")},
      {"two-byte cut short ends it", std::string("a\xD0"), std::u16string(u"a")},
      {"three-byte cut short ends it", std::string("a\xE2\x82"), std::u16string(u"a")},
      {"stray continuation starts two bytes", std::string("\x80\x41z"), std::u16string(u"\x0001z")},
      {"four-byte lead is taken as two", std::string("\xF0\x9F"), std::u16string(u"\x041F")},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToWide(c.in), c.out) << c.name;
}

TEST(WideToUtf8, EncodesEachCodeUnitOnItsOwn) {
  EXPECT_EQ(WideToUtf8(std::nullopt), std::nullopt);
  EXPECT_EQ(WideToUtf8(std::u16string()), std::nullopt);
  EXPECT_EQ(WideToUtf8(std::u16string(u"aЖ€")), std::string("a\xD0\x96\xE2\x82\xAC"));
  // A surrogate pair is not joined: each half gives three bytes.
  EXPECT_EQ(WideToUtf8(std::u16string(u"\xD83D\xDE00")), std::string("\xED\xA0\xBD\xED\xB8\x80"));
  std::u16string all;
  for (char16_t c = 1; c < 0xD800; c += 7) all.push_back(c);
  EXPECT_EQ(Utf8ToWide(WideToUtf8(all)), all);
}

// The table is checked against glibc's own windows-1251 converter.
TEST(Cp1251, TableMatchesTheSystemConverter) {
  iconv_t cd = iconv_open("UTF-16LE", "CP1251");
  ASSERT_NE(cd, iconv_t(-1));
  for (int byte = 0x80; byte < 0x100; ++byte) {
    char in = char(byte);
    char out[4] = {};
    char* ip = &in;
    char* op = out;
    size_t il = 1, ol = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    size_t rc = iconv(cd, &ip, &il, &op, &ol);
    char16_t expected = rc == size_t(-1) ? char16_t(0xFFFD) : char16_t(uint8_t(out[0]) | (uint8_t(out[1]) << 8));
    if (byte == 0x98) expected = 0xFFFD;
    EXPECT_EQ(Cp1251ToChar(uint8_t(byte)), expected) << std::hex << byte;
  }
  iconv_close(cd);
}

TEST(Cp1251, ConvertsBothWaysWithQuestionMarksForTheRest) {
  EXPECT_EQ(Cp1251ToWide(std::nullopt), std::nullopt);
  EXPECT_EQ(Cp1251ToWide(std::string()), std::nullopt);
  EXPECT_EQ(Cp1251ToWide(std::string("a\xC6\x98\xB9")), std::u16string(u"aЖ\xFFFD№"));
  EXPECT_EQ(WideToCp1251(std::nullopt), std::nullopt);
  EXPECT_EQ(WideToCp1251(std::u16string()), std::nullopt);
  EXPECT_EQ(WideToCp1251(std::u16string(u"aЖ№")), std::string("a\xC6\xB9"));
  // Below 256 a unit is written as its own byte; characters the code page lacks become "?".
  EXPECT_EQ(WideToCp1251(std::u16string(u"\x00E9\x4E2D\xFFFD")), std::string("\xE9??"));
  std::string every;
  for (int b = 0x80; b < 0x100; ++b)
    if (b != 0x98) every.push_back(char(b));
  EXPECT_EQ(WideToCp1251(Cp1251ToWide(every)), every);
}

TEST(TrimSpaces, RemovesControlAndBlankBytesAtBothEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"   ", ""},
      {"a", "a"},
      {" \t\r\na b\x01\x1f ", "a b"},
      {"\x7f"
       "x",
       "\x7fx"},
      {"\xC2\xA0x", "\xC2\xA0x"},
  };
  for (auto [in, out] : cases) {
    TrimSpaces(in);
    EXPECT_EQ(in, out);
  }
}

TEST(EqualsNoCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsNoCase("ParticipantID", "participantid"));
  EXPECT_FALSE(EqualsNoCase("a", "ab"));
  EXPECT_FALSE(EqualsNoCase("[", "{"));
  EXPECT_FALSE(EqualsNoCase("\xD0\x96", "\xD0\xB6"));
}

}  // namespace
}  // namespace zel
