// zlib inflater for gzip (format 1), raw deflate (3) and zlib (any other) streams, appending what it
// produces to a buffer in 64 KiB windows. Serves one body.
#pragma once

#include <cstdint>
#include <memory>

#include "aslib/ASVariableBuffer.h"

namespace zel {

class ASInflate {
 public:
  explicit ASInflate(int format);
  virtual ~ASInflate();
  ASInflate(const ASInflate&) = delete;
  ASInflate& operator=(const ASInflate&) = delete;

  // False for missing arguments, corrupt data, or output the buffer could not keep; the end of the
  // stream is not a failure.
  bool inflateInto(const void* input, int64_t n, ASVariableBuffer* buffer);
  // Whether the end of the compressed stream has been seen.
  bool finished() const;

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

// zlib window bits of a stream format: 1 gzip (31), 3 raw deflate (-15), otherwise zlib (15).
int WindowBitsOf(int format);

}  // namespace zel
