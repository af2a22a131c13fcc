// The folder and file operations the engine and the mail gateway share: listings of the files
// nobody else holds open, moves into a folder, whole-file reads and crash-safe writes (plain or
// into a dated subfolder), path joining, and where a downloaded document is delivered and copied.
// Every failure is logged with the system's error code and returned; nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel {

class ASVariableBuffer;
class AtomicFileWriter;
class ExclusiveFile;
struct CPConfig;
struct CPConfigAccount;

struct fileEntry {
  std::string path;
  int64_t lastAccessTime = 0;  // ns since 1970
  uint32_t size = 0;           // low 32 bits
  std::string name;
  bool leased = true;  // false: taken on flock alone, which does not see a writer
};

// Files of `folder` whose extension is `extension` (".xml", any letter case) that can be opened
// exclusively right now, in the order the folder lists them. Empty when none qualify.
std::vector<std::string> ListXmlFiles(const std::string& folder);
// The ".xml" files of `folder` in listing order, without asking whether another program holds
// them: for a caller that opens each exclusively itself, so that a file is opened once per pass.
std::vector<std::string> ListXmlCandidates(const std::string& folder);
// The same as ListXmlFiles for any extension, oldest last-access time first (stable).
std::vector<fileEntry> ListFilesByAge(const std::string& folder, const std::string& extension);

// Writes and moves whose syncs are put off so that many are made durable together: a pass that
// writes a thousand tickets pays for one flush of the disk, not for a thousand. Whoever depends on
// them being durable calls sync() first; what is still pending when this is dropped is synced then.
class PendingSyncs {
 public:
  PendingSyncs() = default;
  PendingSyncs(const PendingSyncs&) = delete;
  PendingSyncs& operator=(const PendingSyncs&) = delete;
  ~PendingSyncs() { sync(); }

  // Takes over what `other` recorded, leaving it with nothing to sync.
  void takeFrom(PendingSyncs& other);
  void fileWritten(const std::string& path);     // its data, and its entry in its folder
  void entryChanged(const std::string& folder);  // a name put into or taken out of the folder
  // Makes everything recorded durable; false, logged, when a sync failed.
  bool sync();

 private:
  std::vector<std::string> files_, folders_;
};

// Moves `path` into `folder` under its own name, replacing a file there; the new path, or none
// with "Moving file %s to %s failed, error %d". A file this process holds exclusively is moved
// through its `held` descriptor. The move is durable when this returns, or, given `later`, once
// `later` is synced (both folders are recorded there).
std::optional<std::string> MoveFileToFolder(const std::string& folder, const std::string& path,
                                            ExclusiveFile* held = nullptr, PendingSyncs* later = nullptr);
// The same to the path `target`, for a file that takes another name on the way.
bool MoveFileTo(const std::string& path, const std::string& target, ExclusiveFile* held = nullptr,
                PendingSyncs* later = nullptr);

// A whole-buffer write into a file in two steps, so that other work can go on while the disk
// catches up. prepare() makes the folder if missing and writes the file, nameless (or under a
// temporary name) and durable; it logs nothing and reads the buffer without moving its read
// position, so another thread may read a buffer held in memory meanwhile. commit() then puts the
// file in place, replacing one of that name, and logs what failed as WriteBufferToFile does.
// Dropped before commit(), nothing of it remains.
class PreparedFileWrite {
 public:
  PreparedFileWrite(std::string path, ASVariableBuffer& buffer);
  ~PreparedFileWrite();
  PreparedFileWrite(const PreparedFileWrite&) = delete;
  PreparedFileWrite& operator=(const PreparedFileWrite&) = delete;

  // Without `makeFolder`, a missing folder leaves the write to commit(), which makes it.
  void prepare(bool makeFolder = true);
  bool commit();  // prepares first, when nothing was prepared

 private:
  enum class Failed { kNothing, kFolder, kCreate, kWrite };
  std::string path_;
  ASVariableBuffer& buffer_;
  std::unique_ptr<AtomicFileWriter> writer_;
  bool prepared_ = false;
  Failed failed_ = Failed::kNothing;
  int error_ = 0;
};

// Appends the whole file to the buffer.
bool ReadFileToBuffer(const std::string& path, ASVariableBuffer& buffer);
// Writes the whole buffer as the file (its folder made if missing, one level), replacing an
// existing one in a single step: readers see the old file or the new one, never half of either.
bool WriteBufferToFile(const std::string& path, ASVariableBuffer& buffer);
// The same into folder/YYYY-MM-DD/name.
bool WriteBufferToDatedFile(const std::string& path, ASVariableBuffer& buffer);

// Makes `folder` unless it is a directory already (one level); "Cannot create directory %s, error
// 0x%08x" when it cannot.
bool EnsureFolderExists(const std::string& folder);
// Writes the whole buffer, from its start, into a writer opened already (nothing committed).
bool WriteBufferInto(AtomicFileWriter& writer, ASVariableBuffer& buffer, int* error);

// The part of a path after its last "/" (the whole path without one), and the part before it
// (empty without one).
std::string FileNameOf(const std::string& path);
std::string FolderOf(const std::string& path);

std::string JoinPath(const std::string& a, const std::string& b);
std::string JoinPath(const std::string& a, const std::string& b, const std::string& c);

// A name that stays inside the folder it is joined to: not empty, no "/", no NUL, not "." or "..".
bool IsPlainName(const std::string& name);
// Whether the text is UTF-8 made only of characters XML allows (shortest forms, no surrogates, no
// control characters but tab, CR and LF), so a ticket or an envelope can carry it.
bool IsXmlText(const std::string& text);
// Every ":" of the file name (the part after the last "/") becomes "-", so server-given names map
// to the same file names everywhere. The folders are left as configured.
std::string ColonsToHyphens(std::string path);
// Whether two folder paths name the same folder, however spelled (a trailing slash, a link).
bool SameFolder(const std::string& a, const std::string& b);

// Removes what writers killed mid-write left in the folders files are written into: inbound and
// outbound (with their subfolders), queue, bad, and copy (with its subfolders and dated folders).
void RemoveLeftoverTemporaryFiles(const CPConfig& config);

// Where a downloaded file is delivered and copied, by the Subdirs rules; none when the name, or
// the account's login or participant identifier that would name the subfolder, is not plain. An
// empty login or identifier names the folder itself.
std::optional<std::string> InboundPath(const CPConfig& config, const CPConfigAccount& account, const std::string& name);
std::optional<std::string> CopyPath(const CPConfig& config, const CPConfigAccount& account, const std::string& name);

}  // namespace zel
