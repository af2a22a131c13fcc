// Linux file-system services. The exclusive open is a write lease: the kernel grants one only
// while no other open file description exists for the file. SIGIO, which a lease break raises, is
// ignored by the service. Where a lease is refused (not the owner, not root) or not supported, flock
// and a size and modification time unchanged since an earlier pass stand in.
#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zel {

std::optional<std::string> ProgramPath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  return std::string(path, size_t(n));
}

namespace {

// The process's umask, read once before main and so before any thread: reading it means setting it
// for a moment, which would give files that other threads create at that moment the wrong mode.
const mode_t kProcessUmask = [] {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}();

constexpr const char* kTemporaryPrefix = ".zel-";
constexpr size_t kTemporarySuffixLength = 12;

std::string FolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

// ".zel-" and twelve random letters and digits: unique across processes and threads, since the file
// is created only when the name is free.
std::string TemporaryName() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[kTemporarySuffixLength];
  if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random)) {
    // No entropy call: the time and the thread's own address still differ between writers.
    uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    uint64_t(reinterpret_cast<uintptr_t>(&random));
    for (unsigned char& r : random) r = uint8_t((seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) >> 56);
  }
  std::string name = kTemporaryPrefix;
  for (unsigned char r : random) name.push_back(kAlphabet[r % (sizeof kAlphabet - 1)]);
  return name;
}

bool IsTemporaryName(const std::string& name) {
  if (name.size() != std::strlen(kTemporaryPrefix) + kTemporarySuffixLength || name.rfind(kTemporaryPrefix, 0) != 0)
    return false;
  for (size_t i = std::strlen(kTemporaryPrefix); i < name.size(); ++i)
    if (!std::islower(static_cast<unsigned char>(name[i])) && !std::isdigit(static_cast<unsigned char>(name[i])))
      return false;
  return true;
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

namespace {

// What earlier passes saw of files whose lease was refused, by device and inode (a rename into the
// queue keeps both). An entry not seen for kForgetAfter passes is dropped.
struct Sighting {
  int64_t size, modifiedNs;
  uint64_t firstPass, lastPass;
};
constexpr uint64_t kForgetAfter = 16;
std::mutex sightingsLock;
std::map<std::pair<dev_t, ino_t>, Sighting> sightings;
uint64_t currentPass = 1;

// Whether the file was seen with this size and modification time in an earlier pass; records it.
bool UnchangedSinceEarlierPass(const struct stat& st) {
  const int64_t modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  std::lock_guard<std::mutex> hold(sightingsLock);
  Sighting& seen = sightings[{st.st_dev, st.st_ino}];
  if (seen.firstPass == 0 || seen.size != int64_t(st.st_size) || seen.modifiedNs != modified)
    seen = {int64_t(st.st_size), modified, currentPass, currentPass};
  seen.lastPass = currentPass;
  return seen.firstPass < currentPass;
}

}  // namespace

void BeginExclusivePass() {
  std::lock_guard<std::mutex> hold(sightingsLock);
  ++currentPass;
  for (auto it = sightings.begin(); it != sightings.end();)
    it = it->second.lastPass + kForgetAfter < currentPass ? sightings.erase(it) : std::next(it);
}

void RemoveStaleTemporaryFiles(const std::string& folder, int depth) {
  DIR* listing = ::opendir(folder.c_str());
  if (!listing) return;
  std::vector<std::string> stale, below;
  while (dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // The folder's own entry types spare a look at every file of a full folder: only a name of the
    // temporary pattern, or a folder to go down into, is looked at.
    const bool maybeFolder = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
    if (!IsTemporaryName(name) && !(maybeFolder && depth > 0)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && IsTemporaryName(name))
      stale.push_back(name);
    else if (S_ISDIR(st.st_mode) && depth > 0)
      below.push_back(name);
  }
  ::closedir(listing);
  for (const auto& name : stale) ::unlink((folder + "/" + name).c_str());
  for (const auto& name : below) RemoveStaleTemporaryFiles(folder + "/" + name, depth - 1);
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

namespace {

// Few enough to sync one by one; more are synced with their whole file system.
constexpr size_t kSyncedOneByOne = 8;

// fsync of the file or folder at `path`; true when it is gone (nothing of it to keep).
bool SyncPath(const std::string& path, int* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    if (error) *error = errno;
    return false;
  }
  bool ok = ::fsync(fd) == 0;
  if (!ok && error) *error = errno;
  ::close(fd);
  return ok;
}

}  // namespace

bool SyncTogether(const std::vector<std::string>& files, const std::vector<std::string>& folders, int* error) {
  std::vector<std::string> left;  // the files still there
  for (const std::string& file : files)
    if (struct stat st{}; ::lstat(file.c_str(), &st) == 0) left.push_back(file);
  if (left.size() + folders.size() <= kSyncedOneByOne) {
    bool ok = true;
    for (const std::string& path : left) ok = SyncPath(path, error) && ok;
    for (const std::string& path : folders) ok = SyncPath(path, error) && ok;
    return ok;
  }
  // Every file lies in one of the folders, so one descriptor per file system reaches them all.
  std::vector<dev_t> synced;
  bool ok = true;
  for (const std::string& folder : folders) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      if (errno == ENOENT) continue;
      if (error) *error = errno;
      ok = false;
      continue;
    }
    if (std::find(synced.begin(), synced.end(), st.st_dev) == synced.end()) {
      if (::syncfs(fd) != 0) {
        if (error) *error = errno;
        ok = false;
      }
      synced.push_back(st.st_dev);
    }
    ::close(fd);
  }
  return ok;
}

ExclusiveFile::ExclusiveFile(int fd, std::string path, bool leased, int64_t size, int64_t lastAccessNs)
    : fd_(fd), path_(std::move(path)), leased_(leased), size_(size), lastAccessNs_(lastAccessNs) {}

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
    // flock does not see a writer that takes no lock: only a file at rest since an earlier pass.
    if (::fstat(fd, &st) != 0 || !UnchangedSinceEarlierPass(st)) {
      ::close(fd);
      if (error) *error = EBUSY;
      return nullptr;
    }
  }
  // A blocking descriptor from here on: reads of a regular file never wait anyway.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (::fstat(fd, &st) != 0) st = {};
  int64_t atime = int64_t(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
  return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(fd, path, leased, int64_t(st.st_size), atime));
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
                      int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                      int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

AtomicFileWriter::AtomicFileWriter(int fd, std::string temp, std::string path, FileAccess access)
    : fd_(fd), access_(access), temp_(std::move(temp)), path_(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::Create(const std::string& path, int* error, FileAccess access,
                                                           Durability durability) {
  // A file synced later with many others is written unnamed and named once whole: a writer that
  // dies leaves nothing behind, and naming it changes the folder once. The later sync of the file
  // system (or of the file and its folder) records its name and its link count together. A file
  // durable at its commit takes a temporary name instead: synced with its data before the rename,
  // its link is on disk before its name is, where a file system without a journal writes the link
  // count of an unnamed file only with its inode.
  if (durability == Durability::kSyncedLater) {
    const int unnamed =
        ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, access == FileAccess::kUmask ? 0666 : 0600);
    if (unnamed >= 0) return std::unique_ptr<AtomicFileWriter>(new AtomicFileWriter(unnamed, "", path, access));
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      if (error) *error = errno;
      return nullptr;
    }
  }
  // A hidden name of fixed length beside the target, so any target name that fits the folder fits
  // its temporary too; private to this process until it is put in place.
  const std::string folder = FolderOf(path) + "/";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = folder + TemporaryName();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return std::unique_ptr<AtomicFileWriter>(new AtomicFileWriter(fd, std::move(temp), path, access));
    if (errno != EEXIST) break;
  }
  if (error) *error = errno;
  return nullptr;
}

bool AtomicFileWriter::write(const void* data, int64_t n, int* error) {
  if (n <= 0) return true;
  if (WriteAll(fd_, static_cast<const char*>(data), size_t(n))) return true;
  if (error) *error = errno;
  return false;
}

bool AtomicFileWriter::setAccess() {
  if (access_ == FileAccess::kUmask) return temp_.empty() || ::fchmod(fd_, 0666 & ~kProcessUmask) == 0;
  struct stat replaced {};
  if (::stat(path_.c_str(), &replaced) != 0) return errno == ENOENT;  // a new file: 0600 from creation
  if ((replaced.st_uid != ::geteuid() || replaced.st_gid != ::getegid()) &&
      ::fchown(fd_, replaced.st_uid, replaced.st_gid) != 0)
    return false;  // never hand another owner's secrets to this process's user
  return ::fchmod(fd_, replaced.st_mode & 0600) == 0;
}

bool AtomicFileWriter::flush(int* error) {
  if (::fsync(fd_) == 0) return flushed_ = true;
  if (error) *error = errno;
  return false;
}

bool AtomicFileWriter::commit(int* error) { return place(true, error); }

bool AtomicFileWriter::commitUnsynced(int* error) { return place(false, error); }

namespace {

// Gives the unnamed file `fd` the name `path`, replacing a file there: a new name is one link; over
// an existing file, a link under a temporary name is renamed over it.
bool NameUnnamed(int fd, const std::string& path) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  auto link = [&](const std::string& to) {
    return ::linkat(AT_FDCWD, self, AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, to.c_str(), AT_EMPTY_PATH) == 0);
  };
  if (link(path)) return true;
  if (errno != EEXIST) return false;
  const std::string folder = FolderOf(path) + "/";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = folder + TemporaryName();
    if (!link(temp)) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (::rename(temp.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  }
  return false;
}

}  // namespace

bool AtomicFileWriter::place(bool sync, int* error) {
  bool ok = setAccess() && (!sync || flushed_ || ::fsync(fd_) == 0);
  if (ok && temp_.empty()) {
    // Named now, its inode holds a link: synced again, so the name never points at an inode the
    // disk counts no link for.
    ok = NameUnnamed(fd_, path_) && (!sync || ::fsync(fd_) == 0);
    const int saved = errno;
    ::close(fd_);
    fd_ = -1;
    if (!ok) {
      if (error) *error = saved;
      return false;
    }
    committed_ = true;
    if (sync) SyncFolder(FolderOf(path_));
    return true;
  }
  int saved = errno;
  ok = (::close(fd_) == 0) && ok;
  if (!ok && saved) errno = saved;
  fd_ = -1;
  if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    if (error) *error = errno;
    return false;
  }
  committed_ = true;
  if (sync) SyncFolder(FolderOf(path_));
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error, FileAccess access) {
  auto writer = AtomicFileWriter::Create(path, error, access);
  return writer && writer->write(bytes.data(), int64_t(bytes.size()), error) && writer->commit(error);
}

namespace {

// The move of `from` to `to` by rename; across file systems a durable copy of `in` (the source,
// read from its start) under a temporary name is put in place, then the source goes. `in` < 0: the
// source is opened here for the copy.
bool MoveThrough(int in, const std::string& from, const std::string& to, bool durable, int* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) {
    if (durable) SyncFolder(FolderOf(to));
    return true;
  }
  if (errno != EXDEV) {
    if (error) *error = errno;
    return false;
  }
  const int opened = in < 0 ? ::open(from.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (in < 0 && opened < 0) {
    if (error) *error = errno;
    return false;
  }
  const int source = in < 0 ? opened : in;
  auto writer = AtomicFileWriter::Create(to, error);
  bool ok = writer != nullptr;
  char block[65536];
  for (off_t offset = 0; ok;) {
    ssize_t got = ::pread(source, block, sizeof block, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      if (error) *error = errno;
      ok = false;
    }
    if (got <= 0) break;
    ok = writer->write(block, got, error);
    offset += got;
  }
  if (opened >= 0) ::close(opened);
  if (!ok || !writer->commit(error)) return false;
  if (::unlink(from.c_str()) != 0) {
    // The source must not stay behind beside its copy: take the copy back.
    if (error) *error = errno;
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool MoveFileReplacing(const std::string& from, const std::string& to, bool durable, int* error) {
  return MoveThrough(-1, from, to, durable, error);
}

bool ExclusiveFile::moveTo(const std::string& to, bool durable, int* error) {
  if (!MoveThrough(fd_, path_, to, durable, error)) return false;
  path_ = to;
  return true;
}

std::optional<FileOwnership> OwnershipOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileOwnership{uint32_t(st.st_uid), uint32_t(st.st_gid), uint32_t(st.st_mode)};
}

void RestoreOwnerOnly(const std::string& path, const FileOwnership& before) {
  [[maybe_unused]] int owned = ::chown(path.c_str(), uid_t(before.owner), gid_t(before.group));
  ::chmod(path.c_str(), mode_t(before.mode & 0600));
}

std::FILE* OpenForReading(const std::string& path) { return std::fopen(path.c_str(), "rbe"); }

bool RemoveFile(const std::string& path, int* error) {
  if (::unlink(path.c_str()) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool LinkFile(const std::string& from, const std::string& to, int* error) {
  if (::link(from.c_str(), to.c_str()) == 0) return true;
  if (error) *error = errno;
  return false;
}

bool PathVacant(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::optional<std::string> PeekFile(const std::string& path, size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);  // never waits on a lease
  if (fd < 0) return std::nullopt;
  std::string text(limit, '\0');
  size_t have = 0;
  ssize_t got = 0;
  while (have < limit) {
    got = ::read(fd, text.data() + have, limit - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += size_t(got);
  }
  ::close(fd);
  if (got < 0) return std::nullopt;
  text.resize(have);
  return text;
}

}  // namespace zel
