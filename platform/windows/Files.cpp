// Windows file-system services on the wide-path calls: the exclusive open is CreateFileW with share
// mode 0 (it fails while any other process has the file open, and keeps everyone else out while
// held); moves are MoveFileExW with replace, copy allowed and write-through; writes reach the disk
// with FlushFileBuffers. A folder needs no sync of its own: write-through moves are durable.
#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "platform/windows/WinText.h"

namespace zel {
namespace {

using win::LastErrno;
using win::Wide;

constexpr char kTempPrefix[] = ".zel-";
constexpr size_t kTempLetters = 12;

std::string FolderOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

int64_t NsSince1970(const FILETIME& t) {
  // FILETIME counts 100 ns since 1601.
  const int64_t ticks = (int64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;
}

std::string TempName(const std::string& folder) {
  static thread_local std::mt19937_64 random{std::random_device{}() ^ uint64_t(GetCurrentThreadId()) << 32 ^
                                             uint64_t(GetTickCount64())};
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = folder + "/" + kTempPrefix;
  for (size_t i = 0; i < kTempLetters; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
}

bool IsTempName(const std::wstring& name) {
  if (name.size() != sizeof kTempPrefix - 1 + kTempLetters || name.compare(0, 5, L".zel-") != 0) return false;
  for (size_t i = 5; i < name.size(); ++i)
    if (!((name[i] >= L'a' && name[i] <= L'z') || (name[i] >= L'0' && name[i] <= L'9'))) return false;
  return true;
}

// Every move writes through, also one whose caller syncs later: there is no later sync of folders
// on Windows (SyncTogether), so a move is durable when it returns.
bool MoveReplacing(const std::string& from, const std::string& to, bool /*durable*/, int* error) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), flags)) return true;
  if (error) *error = LastErrno();
  return false;
}

}  // namespace

std::optional<std::string> ProgramPath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  // The core cuts paths at "/", which every wide call takes as well.
  std::string utf8 = win::Utf8(std::wstring(path, n));
  for (char& c : utf8)
    if (c == '\\') c = '/';
  return utf8;
}

ExclusiveFile::ExclusiveFile(int fd, std::string path, bool leased, int64_t size, int64_t lastAccessNs)
    : fd_(fd), path_(std::move(path)), leased_(leased), size_(size), lastAccessNs_(lastAccessNs) {}

// The handle lives in fd_: a HANDLE of a file fits an int on every Windows (handles are 32-bit values).
static HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(intptr_t(fd)); }

ExclusiveFile::~ExclusiveFile() {
  if (fd_ != -1) CloseHandle(HandleOf(fd_));
}

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path, int* error) {
  const std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (error) *error = LastErrno();
    return nullptr;
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    if (error) *error = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : EACCES;
    return nullptr;
  }
  // Share mode 0: fails while another process has the file open, and keeps it ours while held.
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = LastErrno();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(h, &info);
  const int64_t size = (int64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return std::unique_ptr<ExclusiveFile>(
      new ExclusiveFile(int(intptr_t(h)), path, true, size, NsSince1970(info.ftLastAccessTime)));
}

int64_t ExclusiveFile::read(void* destination, int64_t n) {
  DWORD got = 0;
  if (!ReadFile(HandleOf(fd_), destination, DWORD(std::min<int64_t>(n, 1 << 30)), &got, nullptr)) {
    errno = LastErrno();
    return -1;
  }
  return int64_t(got);
}

bool ExclusiveFile::moveTo(const std::string& to, bool durable, int* error) {
  // A file open without sharing cannot be moved, even by its holder: it is let go just before.
  CloseHandle(HandleOf(fd_));
  fd_ = -1;
  if (!MoveReplacing(path_, to, durable, error)) return false;
  path_ = to;
  return true;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  // No read or write access asked: this open never conflicts with a holder's share mode.
  HANDLE h =
      CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return std::nullopt;
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (int64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.modifiedNs = NsSince1970(info.ftLastWriteTime);
  return id;
}

void BeginExclusivePass() {}  // share modes need no memory of earlier passes

AtomicFileWriter::AtomicFileWriter(int fd, std::string temp, std::string path, FileAccess access)
    : fd_(fd), access_(access), temp_(std::move(temp)), path_(std::move(path)) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ != -1) CloseHandle(HandleOf(fd_));
  if (!committed_) DeleteFileW(Wide(temp_).c_str());
}

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::Create(const std::string& path, int* error, FileAccess access,
                                                           Durability) {
  const std::string folder = FolderOf(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = TempName(folder);
    HANDLE h = CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
      return std::unique_ptr<AtomicFileWriter>(new AtomicFileWriter(int(intptr_t(h)), temp, path, access));
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  if (error) *error = LastErrno();
  return nullptr;
}

bool AtomicFileWriter::write(const void* data, int64_t n, int* error) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(HandleOf(fd_), p, DWORD(std::min<int64_t>(n, 1 << 30)), &put, nullptr)) {
      if (error) *error = LastErrno();
      return false;
    }
    p += put;
    n -= put;
  }
  return true;
}

// The new file inherits the folder's access list, as every file made there does.
bool AtomicFileWriter::setAccess() { return true; }

bool AtomicFileWriter::flush(int* error) {
  if (FlushFileBuffers(HandleOf(fd_))) return flushed_ = true;
  if (error) *error = LastErrno();
  return false;
}

bool AtomicFileWriter::commit(int* error) {
  bool ok = setAccess() && (flushed_ || FlushFileBuffers(HandleOf(fd_)));
  int saved = ok ? 0 : LastErrno();
  CloseHandle(HandleOf(fd_));
  fd_ = -1;
  // The temporary file is hidden; what takes its place is an ordinary file.
  if (ok) SetFileAttributesW(Wide(temp_).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!ok || !MoveReplacing(temp_, path_, true, &saved)) {
    if (error) *error = saved;
    return false;
  }
  committed_ = true;
  return true;
}

// Windows has no flush of a whole volume for an ordinary user: each file is flushed as it is put in
// place, and SyncTogether has nothing left to do.
bool AtomicFileWriter::commitUnsynced(int* error) { return commit(error); }

bool SyncTogether(const std::vector<std::string>&, const std::vector<std::string>&, int*) { return true; }

bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error, FileAccess access) {
  auto writer = AtomicFileWriter::Create(path, error, access);
  return writer && writer->write(bytes.data(), int64_t(bytes.size()), error) && writer->commit(error);
}

bool MoveFileReplacing(const std::string& from, const std::string& to, bool durable, int* error) {
  return MoveReplacing(from, to, durable, error);
}

void RemoveStaleTemporaryFiles(const std::string& folder, int depth) {
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW(Wide(folder + "/*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::string path = folder + "/" + win::Utf8(name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth > 0 && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        RemoveStaleTemporaryFiles(path, depth - 1);
    } else if (IsTempName(name)) {
      DeleteFileW(Wide(path).c_str());
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

void SyncFolder(const std::string&) {}

std::optional<FileOwnership> OwnershipOf(const std::string& path) {
  if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return FileOwnership{};
}

void RestoreOwnerOnly(const std::string&, const FileOwnership&) {}

std::FILE* OpenForReading(const std::string& path) {
  std::FILE* file = _wfopen(Wide(path).c_str(), L"rbN");
  if (!file) errno = errno ? errno : ENOENT;
  return file;
}

bool RemoveFile(const std::string& path, int* error) {
  if (DeleteFileW(Wide(path).c_str())) return true;
  if (error) *error = LastErrno();
  return false;
}

bool LinkFile(const std::string& from, const std::string& to, int* error) {
  if (CreateHardLinkW(Wide(to).c_str(), Wide(from).c_str(), nullptr)) return true;
  if (error) *error = LastErrno();
  return false;
}

bool PathVacant(const std::string& path) {
  if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::optional<std::string> PeekFile(const std::string& path, size_t limit) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text(limit, '\0');
  size_t have = 0;
  bool ok = true;
  while (have < limit) {
    DWORD got = 0;
    ok = ReadFile(h, text.data() + have, DWORD(std::min<size_t>(limit - have, 1 << 30)), &got, nullptr);
    if (!ok || got == 0) break;
    have += got;
  }
  CloseHandle(h);
  if (!ok) return std::nullopt;
  text.resize(have);
  return text;
}

}  // namespace zel
