// The first place a byte pattern occurs in a block of bytes, or null: memmem where the C library
// has it (glibc), the standard library's search elsewhere (Windows).
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace zel {

inline const void* FindBytes(const void* hay, size_t n, const void* pattern, size_t m) {
#ifdef _WIN32
  std::string_view in(static_cast<const char*>(hay), n);
  size_t at = in.find(std::string_view(static_cast<const char*>(pattern), m));
  return at == std::string_view::npos ? nullptr : static_cast<const char*>(hay) + at;
#else
  return ::memmem(hay, n, pattern, m);
#endif
}

}  // namespace zel
