// Compression by zlib itself, in one call: the reference that zel's codecs are checked and measured
// against.
#pragma once

#include <zlib.h>

#include <string>

namespace zel::test {

// windowBits 31 gzip, 15 zlib, -15 raw deflate.
inline std::string ZlibCompress(const std::string& data, int windowBits) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace zel::test
