// std::filesystem paths from and to the UTF-8 text every path is held in. A path built from a plain
// std::string is read in the system's narrow code page, which on Windows is not UTF-8 (a Cyrillic
// folder name would be garbled); through char8_t it is UTF-8 on every system, and on Linux the bytes
// pass unchanged.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zel {

inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

inline std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace zel
