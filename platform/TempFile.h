// The temporary-file interface that byte buffers spill into, and the factory of the one this system
// runs on. A temporary file is private to its owner and is deleted when closed or destroyed.
#pragma once

#include <cstdint>
#include <memory>

namespace zel {

class ASTempFile {
 public:
  virtual ~ASTempFile() = default;
  virtual bool open() = 0;                                 // creates a new, unique, empty file
  virtual void close() = 0;                                // closes and deletes it; safe to repeat
  virtual bool atEnd() = 0;                                // position == size, or not open
  virtual int64_t read(void* destination, int64_t n) = 0;  // bytes read, or -1
  virtual int64_t write(const void* data, int64_t n) = 0;  // bytes written, or -1
  virtual bool seek(int64_t offset, int origin) = 0;       // 0 start, 1 current, 2 end
  virtual int64_t tell() = 0;                              // -1 when not open
};

// A temporary file in $TMPDIR (default /tmp), not yet opened.
std::unique_ptr<ASTempFile> MakeTempFile();

}  // namespace zel
