// The byte buffer of every file, network and mail path: the first 65536 bytes live in memory, the
// rest spill sequentially into one private temporary file that exists until reset or destruction.
// It has a read position, searches, and printf-style appends. It writes no log messages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/Log.h"
#include "platform/TempFile.h"

namespace zel {

class ASVariableBuffer {
 public:
  static constexpr int64_t kMemorySize = 65536;
  static constexpr int64_t kFormatLimit = 16384;

  ASVariableBuffer();
  virtual ~ASVariableBuffer();
  ASVariableBuffer(const ASVariableBuffer&) = delete;
  ASVariableBuffer& operator=(const ASVariableBuffer&) = delete;

  // n on success; -1 for no data, n <= 0, or a spill file that cannot be opened or written (the
  // length then stays as it was).
  int64_t append(const void* data, int64_t n);
  int64_t append(std::string_view bytes) { return append(bytes.data(), int64_t(bytes.size())); }
  // Formats like vsnprintf (cut at 16383 bytes) and appends the result.
  int64_t appendFormat(const char* format, ...) ZEL_PRINTF(2, 3);

  // Copies up to n unread bytes and advances the read position: the count, 0 when nothing is
  // unread, -1 for no destination or n <= 0.
  int64_t read(void* destination, int64_t n);
  // Copies bytes at any position without moving the read position; the count copied.
  int64_t copyOut(int64_t position, void* destination, int64_t n);

  // Length and read position 0; the spill file is closed and deleted.
  void reset();
  // Forgets every byte from `length` on (a longer length changes nothing).
  void truncate(int64_t length);

  // First occurrence of pattern at or after `from`, or -1. The read position is unchanged.
  int64_t find(std::string_view pattern, int64_t from);
  // First occurrence that directly follows a line feed lying at or after `from`, or -1.
  int64_t findAtLineStart(std::string_view pattern, int64_t from);

  int64_t length() const { return length_; }
  int64_t readPosition() const { return readPosition_; }
  void setReadPosition(int64_t position);
  int64_t unread() const { return length_ - readPosition_; }
  bool spilled() const { return spill_ != nullptr; }

  // The unread bytes as a string, read position unchanged (for small payloads and tests).
  std::string unreadBytes();

 private:
  int64_t readSpill(int64_t fileOffset, void* destination, int64_t n);

  std::unique_ptr<char[]> memory_;
  std::unique_ptr<ASTempFile> spill_;
  int64_t spillPosition_ = 0;  // where the spill file's own position stands, to skip seeks
  int64_t readPosition_ = 0;
  int64_t length_ = 0;
  std::unique_ptr<char[]> formatScratch_;
};

}  // namespace zel
