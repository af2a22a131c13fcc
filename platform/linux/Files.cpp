// Linux file-system services: /proc/self/exe for the program path, write-fsync-rename for files
// that must survive a crash whole.
#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace zel {

std::optional<std::string> ProgramPath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  return std::string(path, size_t(n));
}

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += size_t(put);
  }
  return true;
}

void SyncFolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error) {
  std::string temp = path + ".tmpXXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return false;
  }
  // mkstemp creates 0600; a configuration file is as readable as any file the user creates.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
    SyncFolderOf(path);
    return true;
  }
  if (!ok) errno = saved;
  if (error) *error = errno;
  ::unlink(temp.c_str());
  return false;
}

}  // namespace zel
