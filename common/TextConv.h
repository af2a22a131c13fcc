// Text conversions between UTF-8, UTF-16 and windows-1251, and in-place trimming.
// The conversions never validate and never fail: they follow fixed byte rules, and an absent input
// gives an absent result (some give absent for an empty input too, as noted).
#pragma once

#include <optional>
#include <string>

namespace zel {

// UTF-8 to UTF-16 without validation: 1110xxxx starts three bytes, any other byte from 0x80 up starts
// two, continuation bytes are taken as they come; a sequence cut short ends the conversion.
std::optional<std::u16string> Utf8ToWide(const std::optional<std::string>& text);

// UTF-16 to UTF-8, each code unit on its own (surrogates give three bytes each). Empty gives absent.
std::optional<std::string> WideToUtf8(const std::optional<std::u16string>& text);

// windows-1251 to UTF-16; the undefined byte 0x98 gives U+FFFD. Empty gives absent.
std::optional<std::u16string> Cp1251ToWide(const std::optional<std::string>& text);

// UTF-16 to windows-1251: a code unit below 256 is written as that byte, any other is looked up in
// the code page's upper half, else "?". Empty gives absent.
std::optional<std::string> WideToCp1251(const std::optional<std::u16string>& text);

// The character of one windows-1251 byte (0x98 gives U+FFFD).
char16_t Cp1251ToChar(unsigned char byte);

// Removes trailing, then leading bytes of value 32 or less, in place.
void TrimSpaces(std::string& text);

// Compares two byte strings without regard to ASCII letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace zel
