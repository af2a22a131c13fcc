// zlib deflater for gzip (format 1), raw deflate (3) and zlib (any other) streams, reading its input
// from a buffer in 16 KiB pieces. Serves one body at a time; reset() starts the next.
#pragma once

#include <cstdint>
#include <memory>

#include "aslib/ASVariableBuffer.h"

namespace zel {

class ASDeflate {
 public:
  explicit ASDeflate(int format);
  virtual ~ASDeflate();
  ASDeflate(const ASDeflate&) = delete;
  ASDeflate& operator=(const ASDeflate&) = delete;

  // Compresses unread input into output (finishing the stream once the input is used up); bytes
  // produced, or -1. Input zlib did not take is left unread.
  int64_t deflateStep(void* output, int64_t capacity, ASVariableBuffer* input);
  int lastStatus() const { return lastStatus_; }  // zlib code; 1 once the stream has ended
  // Starts a new stream with the same settings, keeping zlib's memory.
  bool reset();

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  int lastStatus_ = 0;
};

// Compresses all unread bytes of input into output through blocks of blockSize bytes. Each thread
// keeps one deflater per format and its block between calls, so a batch of documents sets zlib up
// once.
bool DeflateBuffer(int format, ASVariableBuffer* input, ASVariableBuffer* output, int64_t blockSize);

}  // namespace zel
