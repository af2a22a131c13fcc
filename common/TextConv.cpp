// The windows-1251 table and the byte rules of the conversions.
#include "common/TextConv.h"

#include <array>

namespace zel {
namespace {

// Characters of bytes 0x80 to 0xFF of windows-1251.
constexpr std::array<char16_t, 128> kCp1251Upper = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

}  // namespace

char16_t Cp1251ToChar(unsigned char byte) { return byte < 0x80 ? char16_t(byte) : kCp1251Upper[byte - 0x80]; }

std::optional<std::u16string> Utf8ToWide(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string& in = *text;
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    unsigned char b0 = in[i];
    if (b0 < 0x80) {
      out.push_back(b0);
      i += 1;
    } else if ((b0 & 0xF0) == 0xE0) {
      if (i + 2 >= in.size()) break;
      unsigned char b1 = in[i + 1], b2 = in[i + 2];
      out.push_back(char16_t(((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F)));
      i += 3;
    } else {
      if (i + 1 >= in.size()) break;
      unsigned char b1 = in[i + 1];
      out.push_back(char16_t(((b0 & 0x1F) << 6) | (b1 & 0x3F)));
      i += 2;
    }
  }
  return out;
}

std::optional<std::string> WideToUtf8(const std::optional<std::u16string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string out;
  out.reserve(text->size() * 3);
  for (char16_t c : *text) {
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xE0 | (c >> 12)));
      out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::optional<std::u16string> Cp1251ToWide(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::u16string out;
  out.reserve(text->size());
  for (unsigned char b : *text) out.push_back(Cp1251ToChar(b));
  return out;
}

std::optional<std::string> WideToCp1251(const std::optional<std::u16string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string out;
  out.reserve(text->size());
  for (char16_t c : *text) {
    if (c < 256) {
      out.push_back(char(c));
      continue;
    }
    char mapped = '?';
    for (size_t k = 0; k < kCp1251Upper.size(); ++k) {
      if (kCp1251Upper[k] == c && c != 0xFFFD) {
        mapped = char(0x80 + k);
        break;
      }
    }
    out.push_back(mapped);
  }
  return out;
}

void TrimSpaces(std::string& text) {
  size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  size_t start = 0;
  while (start < end && static_cast<unsigned char>(text[start]) <= 32) ++start;
  text.erase(end);
  text.erase(0, start);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

}  // namespace zel
