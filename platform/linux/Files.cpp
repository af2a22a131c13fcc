// Linux file-system services. The exclusive open is a write lease: the kernel grants one only
// while no other open file description exists for the file. SIGIO, which a lease break raises, is
// ignored by the service. Where leases are not available, flock stands in.
#include "platform/Files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
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

std::string FolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

bool WriteAll(int fd, const char* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t put = ::write(fd, data + done, n - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += size_t(put);
  }
  return true;
}

}  // namespace

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

ExclusiveFile::ExclusiveFile(int fd, bool leased, int64_t size, int64_t lastAccessNs)
    : fd_(fd), leased_(leased), size_(size), lastAccessNs_(lastAccessNs) {}

ExclusiveFile::~ExclusiveFile() {
  if (leased_) ::fcntl(fd_, F_SETLEASE, F_UNLCK);
  ::close(fd_);
}

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path, int* error) {
  static const bool ignoreLeaseBreaks = [] {
    ::signal(SIGIO, SIG_IGN);
    return true;
  }();
  (void)ignoreLeaseBreaks;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (error) *error = errno;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    if (error) *error = S_ISREG(st.st_mode) ? EACCES : EISDIR;
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  bool leased = ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (!leased) {
    int why = errno;
    bool unsupported = why == EINVAL || why == ENOSYS || why == ENOTSUP || why == EACCES;
    if (!unsupported || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      if (error) *error = unsupported ? errno : why;
      return nullptr;
    }
  }
  // A blocking descriptor from here on: reads of a regular file never wait anyway.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (::fstat(fd, &st) != 0) st = {};
  int64_t atime = int64_t(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
  return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(fd, leased, int64_t(st.st_size), atime));
}

int64_t ExclusiveFile::read(void* destination, int64_t n) {
  for (;;) {
    ssize_t got = ::read(fd_, destination, size_t(n));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size),
                      int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

AtomicFileWriter::AtomicFileWriter(int fd, std::string temp, std::string path)
    : fd_(fd), temp_(std::move(temp)), path_(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::Create(const std::string& path, int* error) {
  // The temporary name ends in neither .xml nor .ticket, so no listing ever takes it.
  std::string temp = path + ".tmpXXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  // mkstemp creates 0600; the file gets the permissions any new file of this process gets.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  return std::unique_ptr<AtomicFileWriter>(new AtomicFileWriter(fd, std::move(temp), path));
}

bool AtomicFileWriter::write(const void* data, int64_t n, int* error) {
  if (n <= 0) return true;
  if (WriteAll(fd_, static_cast<const char*>(data), size_t(n))) return true;
  if (error) *error = errno;
  return false;
}

bool AtomicFileWriter::commit(int* error) {
  bool ok = ::fsync(fd_) == 0;
  int saved = errno;
  ok = (::close(fd_) == 0) && ok;
  if (!ok && saved) errno = saved;
  fd_ = -1;
  if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    if (error) *error = errno;
    return false;
  }
  committed_ = true;
  SyncFolder(FolderOf(path_));
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error) {
  auto writer = AtomicFileWriter::Create(path, error);
  return writer && writer->write(bytes.data(), int64_t(bytes.size()), error) && writer->commit(error);
}

bool MoveFileReplacing(const std::string& from, const std::string& to, bool durable, int* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) {
    if (durable) SyncFolder(FolderOf(to));
    return true;
  }
  if (errno != EXDEV) {
    if (error) *error = errno;
    return false;
  }
  // Another file system: a durable copy under a temporary name, put in place, then the source goes.
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (error) *error = errno;
    return false;
  }
  auto writer = AtomicFileWriter::Create(to, error);
  bool ok = writer != nullptr;
  char block[65536];
  while (ok) {
    ssize_t got = ::read(in, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      if (error) *error = errno;
      ok = false;
    }
    if (got <= 0) break;
    ok = writer->write(block, got, error);
  }
  ::close(in);
  if (!ok || !writer->commit(error)) return false;
  if (::unlink(from.c_str()) != 0) {
    // The source must not stay behind beside its copy: take the copy back.
    if (error) *error = errno;
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

}  // namespace zel
