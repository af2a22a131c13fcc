// The size line must end within 16 bytes; extensions after the hex digits are tolerated.
#include "aslib/ASChunkReader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zel {

ASChunkReader::ASChunkReader() : output_(new char[kOutputCapacity]) {}
ASChunkReader::~ASChunkReader() = default;

int64_t ASChunkReader::feed(const void* input, int64_t n) {
  if (!input || n <= 0 || state_ == kFailed) return -1;
  const char* in = static_cast<const char*>(input);
  const int64_t limit = std::min(n, kOutputCapacity - outputCount_);
  int64_t consumed = 0;
  while (state_ != kFinished && consumed < limit) {
    const char* at = in + consumed;
    const int64_t avail = limit - consumed;
    switch (state_) {
      case kSizeLine: {
        const int64_t window = std::min<int64_t>(avail, 16);
        int64_t cr = -1;
        for (int64_t i = 0; i + 1 < window; ++i) {
          if (at[i] == '\r' && at[i + 1] == '\n') {
            cr = i;
            break;
          }
        }
        if (cr < 0) {
          if (window == 16) {
            state_ = kFailed;
            return -1;
          }
          return n - consumed;
        }
        std::string line(at, size_t(cr));
        chunkSize_ = bytesLeft_ = std::strtoull(line.c_str(), nullptr, 16);
        consumed += cr + 2;
        state_ = kSizeRead;
        break;
      }
      case kSizeRead: state_ = chunkSize_ != 0 ? kData : kDataEnd; break;
      case kData: {
        int64_t take = int64_t(std::min<uint64_t>(uint64_t(avail), bytesLeft_));
        std::memcpy(output_.get() + outputCount_, at, size_t(take));
        outputCount_ += take;
        consumed += take;
        bytesLeft_ -= uint64_t(take);
        if (bytesLeft_ == 0) state_ = kDataEnd;
        break;
      }
      case kDataEnd:
        if (avail < 2) return n - consumed;
        if (at[0] != '\r' || at[1] != '\n') {
          state_ = kFailed;
          return -1;
        }
        consumed += 2;
        state_ = chunkSize_ == 0 ? kFinished : kSizeLine;
        break;
      case kFinished:
      case kFailed: break;
    }
  }
  return n - consumed;
}

}  // namespace zel
