// Searches run over 64 KiB windows (memory in place, spilled bytes read a window at a time), so a
// search costs one file read per window rather than one per byte compared.
#include "aslib/ASVariableBuffer.h"

#include <string.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/FindBytes.h"

namespace zel {

ASVariableBuffer::ASVariableBuffer() : memory_(new char[kMemorySize]) {}

ASVariableBuffer::~ASVariableBuffer() = default;

int64_t ASVariableBuffer::append(const void* data, int64_t n) {
  if (!data || n <= 0) return -1;
  const char* bytes = static_cast<const char*>(data);
  int64_t inMemory = 0;
  if (length_ < kMemorySize) {
    inMemory = std::min(n, kMemorySize - length_);
    std::memcpy(memory_.get() + length_, bytes, size_t(inMemory));
  }
  if (inMemory < n) {
    if (!spill_) {
      spill_ = MakeTempFile();
      if (!spill_->open()) {
        spill_.reset();
        return -1;
      }
      spillPosition_ = 0;
    }
    int64_t end = std::max<int64_t>(length_ - kMemorySize, 0);
    if (spillPosition_ != end) {
      if (!spill_->seek(end, 0)) return -1;
      spillPosition_ = end;
    }
    int64_t written = spill_->write(bytes + inMemory, n - inMemory);
    if (written != n - inMemory) {
      spillPosition_ = -1;  // unknown after a failed write
      return written < 0 ? -1 : 0;
    }
    spillPosition_ += written;
  }
  length_ += n;
  return n;
}

int64_t ASVariableBuffer::appendFormat(const char* format, ...) {
  if (!formatScratch_) formatScratch_.reset(new char[kFormatLimit]);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(formatScratch_.get(), size_t(kFormatLimit), format, args);
  va_end(args);
  if (n < 0) return -1;
  return append(formatScratch_.get(), std::min<int64_t>(n, kFormatLimit - 1));
}

int64_t ASVariableBuffer::readSpill(int64_t fileOffset, void* destination, int64_t n) {
  if (!spill_) return 0;
  if (spillPosition_ != fileOffset) {
    if (!spill_->seek(fileOffset, 0)) {
      spillPosition_ = -1;
      return 0;
    }
    spillPosition_ = fileOffset;
  }
  int64_t got = spill_->read(destination, n);
  if (got < 0) {
    spillPosition_ = -1;
    return 0;
  }
  spillPosition_ += got;
  return got;
}

int64_t ASVariableBuffer::copyOut(int64_t position, void* destination, int64_t n) {
  if (!destination || n <= 0 || position < 0 || position >= length_) return 0;
  n = std::min(n, length_ - position);
  char* out = static_cast<char*>(destination);
  int64_t done = 0;
  if (position < kMemorySize) {
    done = std::min(n, kMemorySize - position);
    std::memcpy(out, memory_.get() + position, size_t(done));
  }
  if (done < n) done += readSpill(position + done - kMemorySize, out + done, n - done);
  return done;
}

int64_t ASVariableBuffer::read(void* destination, int64_t n) {
  if (!destination || n <= 0) return -1;
  int64_t got = copyOut(readPosition_, destination, n);
  readPosition_ += got;
  return got;
}

void ASVariableBuffer::reset() {
  length_ = 0;
  readPosition_ = 0;
  spill_.reset();
  spillPosition_ = 0;
}

void ASVariableBuffer::truncate(int64_t length) {
  if (length < 0 || length >= length_) return;
  length_ = length;
  readPosition_ = std::min(readPosition_, length_);
}

void ASVariableBuffer::setReadPosition(int64_t position) { readPosition_ = std::clamp<int64_t>(position, 0, length_); }

std::string ASVariableBuffer::unreadBytes() {
  std::string bytes(size_t(unread()), '\0');
  bytes.resize(size_t(copyOut(readPosition_, bytes.data(), int64_t(bytes.size()))));
  return bytes;
}

int64_t ASVariableBuffer::find(std::string_view pattern, int64_t from) {
  if (from < 0) from = 0;
  const int64_t m = int64_t(pattern.size());
  if (m == 0 || from >= length_ || length_ - from < m) return -1;

  // Windows overlap by m - 1 bytes so an occurrence across a window border is seen whole.
  constexpr int64_t kWindow = 65536;
  std::vector<char> scratch;
  int64_t start = from;
  while (length_ - start >= m) {
    int64_t span = std::min(kWindow + m - 1, length_ - start);
    const char* window;
    if (start + span <= kMemorySize) {
      window = memory_.get() + start;
    } else {
      scratch.resize(size_t(span));
      span = copyOut(start, scratch.data(), span);
      if (span < m) return -1;
      window = scratch.data();
    }
    const void* hit = FindBytes(window, size_t(span), pattern.data(), size_t(m));
    if (hit) return start + (static_cast<const char*>(hit) - window);
    start += span - m + 1;
  }
  return -1;
}

int64_t ASVariableBuffer::findAtLineStart(std::string_view pattern, int64_t from) {
  if (pattern.empty()) return -1;
  // A line start at or after `from` is a line feed at or after `from`, followed by the pattern.
  std::string withFeed;
  withFeed.reserve(pattern.size() + 1);
  withFeed.push_back('\n');
  withFeed.append(pattern);
  int64_t feed = find(withFeed, from);
  return feed < 0 ? -1 : feed + 1;
}

}  // namespace zel
