// Incremental decoder of the HTTP chunked transfer coding. Each feed consumes what it can, leaves
// the decoded bytes in the output block for the caller to take, and returns how many input bytes it
// did not consume (to be fed again with what follows). Trailers are not supported.
#pragma once

#include <cstdint>
#include <memory>

namespace zel {

class ASChunkReader {
 public:
  enum State : int { kSizeLine = 0, kSizeRead = 1, kData = 2, kDataEnd = 3, kFinished = 4, kFailed = 5 };
  static constexpr int64_t kOutputCapacity = 65536;

  ASChunkReader();
  virtual ~ASChunkReader();

  // Input bytes not consumed, or -1 (no input, n == 0, or the coding is broken).
  int64_t feed(const void* input, int64_t n);

  State state() const { return state_; }
  // The size announced by the last chunk-size line.
  uint64_t chunkSize() const { return chunkSize_; }
  const char* output() const { return output_.get(); }
  int64_t outputCount() const { return outputCount_; }
  void clearOutput() { outputCount_ = 0; }

 private:
  std::unique_ptr<char[]> output_;
  State state_ = kSizeLine;
  uint64_t chunkSize_ = 0;
  uint64_t bytesLeft_ = 0;
  int64_t outputCount_ = 0;
};

}  // namespace zel
