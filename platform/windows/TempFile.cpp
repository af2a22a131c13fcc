// Spill files in the temporary folder (GetTempPathW), named by GetTempFileNameW and opened so that
// the system deletes them when the last handle closes, also when the process is killed.
#include "platform/TempFile.h"

#include <windows.h>

#include <string>

namespace zel {
namespace {

class WinTempFile final : public ASTempFile {
 public:
  ~WinTempFile() override { close(); }

  bool open() override {
    close();
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"zel", 0, name) == 0) return false;
    handle_ = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      DeleteFileW(name);
      return false;
    }
    size_ = 0;
    return true;
  }

  void close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    size_ = 0;
  }

  bool atEnd() override { return handle_ == INVALID_HANDLE_VALUE || tell() >= size_; }

  int64_t read(void* destination, int64_t n) override {
    if (handle_ == INVALID_HANDLE_VALUE || !destination || n <= 0) return -1;
    int64_t done = 0;
    while (done < n) {
      DWORD got = 0;
      const int64_t want = n - done > (1 << 30) ? (1 << 30) : n - done;
      if (!ReadFile(handle_, static_cast<char*>(destination) + done, DWORD(want), &got, nullptr))
        return done > 0 ? done : -1;
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  int64_t write(const void* data, int64_t n) override {
    if (handle_ == INVALID_HANDLE_VALUE || !data || n <= 0) return -1;
    const char* p = static_cast<const char*>(data);
    int64_t left = n;
    while (left > 0) {
      DWORD put = 0;
      if (!WriteFile(handle_, p, DWORD(left > (1 << 30) ? (1 << 30) : left), &put, nullptr)) return -1;
      p += put;
      left -= put;
    }
    const int64_t at = tell();
    if (at > size_) size_ = at;
    return n;
  }

  bool seek(int64_t offset, int origin) override {
    if (handle_ == INVALID_HANDLE_VALUE || origin < 0 || origin > 2) return false;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    return SetFilePointerEx(handle_, to, nullptr, method);
  }

  int64_t tell() override {
    if (handle_ == INVALID_HANDLE_VALUE) return -1;
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(handle_, zero, &at, FILE_CURRENT)) return -1;
    return at.QuadPart;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  int64_t size_ = 0;
};

}  // namespace

std::unique_ptr<ASTempFile> MakeTempFile() { return std::make_unique<WinTempFile>(); }

}  // namespace zel
