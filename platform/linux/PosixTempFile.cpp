// Spill files in $TMPDIR that never have a name: O_TMPFILE, or where the file system lacks it a
// mkstemp file unlinked at once. A process that is killed leaves nothing behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/TempFile.h"

namespace zel {
namespace {

class PosixTempFile final : public ASTempFile {
 public:
  ~PosixTempFile() override { close(); }

  bool open() override {
    close();
    const char* dir = std::getenv("TMPDIR");
    std::string folder = (dir && *dir) ? dir : "/tmp";
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      std::string name = folder + "/zelXXXXXX";
      fd_ = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
    if (fd_ < 0) {
      lastError_ = errno;
      return false;
    }
    lastError_ = 0;
    return true;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool atEnd() override {
    if (fd_ < 0) return true;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return true;
    return ::lseek(fd_, 0, SEEK_CUR) == st.st_size;
  }

  int64_t read(void* destination, int64_t n) override {
    if (fd_ < 0 || !destination || n <= 0) return -1;
    int64_t done = 0;
    while (done < n) {
      ssize_t got = ::read(fd_, static_cast<char*>(destination) + done, size_t(n - done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        lastError_ = errno;
        return done > 0 ? done : -1;
      }
      if (got == 0) break;
      done += got;
    }
    lastError_ = 0;
    return done;
  }

  int64_t write(const void* data, int64_t n) override {
    if (fd_ < 0 || !data || n <= 0) return -1;
    int64_t done = 0;
    while (done < n) {
      ssize_t put = ::write(fd_, static_cast<const char*>(data) + done, size_t(n - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        lastError_ = errno;
        return -1;
      }
      done += put;
    }
    lastError_ = 0;
    return done;
  }

  bool seek(int64_t offset, int origin) override {
    if (fd_ < 0) return false;
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
    if (whence < 0) return false;
    return ::lseek(fd_, offset, whence) >= 0;
  }

  int64_t tell() override { return fd_ < 0 ? -1 : ::lseek(fd_, 0, SEEK_CUR); }

 private:
  int fd_ = -1;
  int lastError_ = 0;
};

}  // namespace

std::unique_ptr<ASTempFile> MakeTempFile() { return std::make_unique<PosixTempFile>(); }

}  // namespace zel
