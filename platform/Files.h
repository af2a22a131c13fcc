// File-system services the core needs beyond the C++ standard library: the program's path, the
// exclusive open that tells whether another process holds a file, crash-safe writes and moves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// The running program's own full path.
std::optional<std::string> ProgramPath();

// A file opened for reading and writing only while no other process has it open, and only when it
// is writable (a file without write permission counts as read-only, even for root). Held until
// destroyed; while held, another process that opens the file waits for it.
class ExclusiveFile {
 public:
  // Null, with errno in *error, when the file is missing, read-only or held by another process
  // (where no lease is granted: changed since an earlier pass, see BeginExclusivePass).
  static std::unique_ptr<ExclusiveFile> Open(const std::string& path, int* error);
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  int64_t read(void* destination, int64_t n);  // bytes read, 0 at the end, -1 (errno) on failure
  // Moves the held file to `to`, replacing it, as MoveFileReplacing does; across file systems the
  // copy is read through this descriptor, since opening the file again would wait out our own hold.
  bool moveTo(const std::string& to, bool durable, int* error);
  int64_t size() const { return size_; }
  int64_t lastAccessNs() const { return lastAccessNs_; }  // last-access time, ns since 1970
  // False when the kernel refused the lease (no right to it, or a file system without leases) and
  // only flock stood in: then a writer that holds the file open is not seen.
  bool leased() const { return leased_; }

 private:
  ExclusiveFile(int fd, std::string path, bool leased, int64_t size, int64_t lastAccessNs);
  int fd_;
  std::string path_;
  bool leased_;
  int64_t size_;
  int64_t lastAccessNs_;
};

// Which file a path names right now, and its size, modification time and (where the system keeps
// one) status change time: a file put in place of another under the same name, or rewritten with
// its modification time set back, differs in at least one of them.
struct FileIdentity {
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modifiedNs = 0, changedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentifyFile(const std::string& path);

// Starts a new pass over the folders. Where the lease is refused for lack of rights (the service
// runs as neither the file's owner nor root) or leases are not supported, a file counts as free only
// when nobody holds a flock on it and its size and modification time are what an earlier pass saw:
// a writer that takes no lock shows only by the changes it makes.
void BeginExclusivePass();

// Who may read a file a writer puts in place: whoever the process's umask (read once, at start)
// lets read a new file, or its owner only, for files that hold passwords. An owner-only file that
// replaces another keeps that file's owner and group and never gains a permission bit it lacked.
enum class FileAccess { kUmask, kOwnerOnly };

// When a written file becomes durable: at its own commit(), or when the caller syncs it together
// with others (SyncTogether) after commitUnsynced().
enum class Durability { kAtCommit, kSyncedLater };

// Writes a new file in the target's folder under a temporary name, or, for a file synced later,
// unnamed where the file system allows; commit() makes it durable and puts it in place (replacing
// an existing file) in one step. Dropped without commit, the file is gone, so nobody ever sees a
// half-written file under the real name. A temporary name is hidden and of fixed length (".zel-"
// and twelve letters and digits), unique across threads, and readable by this process only.
class AtomicFileWriter {
 public:
  // Null, with errno in *error, when the file cannot be created.
  static std::unique_ptr<AtomicFileWriter> Create(const std::string& path, int* error,
                                                  FileAccess access = FileAccess::kUmask,
                                                  Durability durability = Durability::kAtCommit);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool write(const void* data, int64_t n, int* error);
  // Makes what was written durable now, so that the commit that follows has only the name to put
  // in place.
  bool flush(int* error);
  // fsync (unless flushed), rename over the target, fsync of the folder.
  bool commit(int* error);
  // Rename over the target with no sync: the file is whole once there, but durable only after the
  // caller syncs it and its folder (SyncTogether).
  bool commitUnsynced(int* error);

 private:
  AtomicFileWriter(int fd, std::string temp, std::string path, FileAccess access);
  bool setAccess();  // owner and permission bits of the file about to be put in place
  bool place(bool sync, int* error);
  int fd_;
  FileAccess access_;
  std::string temp_, path_;
  bool committed_ = false;
  bool flushed_ = false;
};

// Replaces `path` with `bytes` through an AtomicFileWriter. False with errno in *error.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error,
                         FileAccess access = FileAccess::kUmask);

// Moves a file to `to`, replacing it; across file systems by a durable copy under a temporary name.
// When `durable`, the target folder is synced so the move survives a crash.
bool MoveFileReplacing(const std::string& from, const std::string& to, bool durable, int* error);

// Removes the temporary files a writer that was killed left in `folder` (and in its subfolders,
// `depth` levels down); nothing else.
void RemoveStaleTemporaryFiles(const std::string& folder, int depth = 0);

// fsync of a folder, so that renames into it survive a crash.
void SyncFolder(const std::string& folder);

// The owner, group and permission bits of a file (where the system has them).
struct FileOwnership {
  uint32_t owner = 0, group = 0, mode = 0;
};
std::optional<FileOwnership> OwnershipOf(const std::string& path);
// Gives `path` the owner and group of `before` (where this process may) and keeps of its permission
// bits only the owner's read and write bits `before` had. Where files have no POSIX owners and
// modes (Windows: the folder's access list applies), nothing.
void RestoreOwnerOnly(const std::string& path, const FileOwnership& before);

// A file opened for reading as a C stream (not inherited by child processes), or null with errno set.
std::FILE* OpenForReading(const std::string& path);

// Deletes a file. False with errno in *error.
bool RemoveFile(const std::string& path, int* error);
// A second name `to` for the file `from`; never replaces a file already there (EEXIST).
bool LinkFile(const std::string& from, const std::string& to, int* error);
// Nothing at all stands at `path`, not even a dangling link.
bool PathVacant(const std::string& path);
// Up to `limit` bytes of a file, read without taking it: never waits on another process's hold and
// follows no link. None when it cannot be opened or a read fails.
std::optional<std::string> PeekFile(const std::string& path, size_t limit);

// Makes the data of `files` and the entries of `folders` durable. A few are synced one by one; many
// by one sync of each file system they are on, which costs one device flush where a sync apiece
// costs a flush each (it also writes whatever else waits to be written there). A file that is gone
// by now needs nothing. False, with errno in *error, when a sync failed.
bool SyncTogether(const std::vector<std::string>& files, const std::vector<std::string>& folders, int* error);

}  // namespace zel
