#include "document/FilePlacement.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <filesystem>

#include "aslib/ASVariableBuffer.h"
#include "common/BackgroundWorker.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "common/Utf8Path.h"
#include "config/CPConfig.h"
#include "platform/Files.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

bool HasExtension(const std::string& name, const std::string& extension) {
  return name.size() > extension.size() &&
         EqualsNoCase(std::string_view(name).substr(name.size() - extension.size()), extension);
}

// Files of the folder with the extension that nobody else holds open, in listing order. A full
// folder is probed on this thread and a helper at once: each probe is a handful of system calls.
std::vector<fileEntry> FreeFiles(const std::string& folder, const std::string& extension) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(Utf8Path(folder), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = Utf8Text(it->path().filename());
    if (HasExtension(name, extension) && !it->is_directory(ec)) names.push_back(std::move(name));
  }
  std::vector<std::optional<fileEntry>> probed(names.size());
  std::atomic<size_t> next{0};
  auto probe = [&] {
    for (size_t i; (i = next.fetch_add(1)) < names.size();) {
      std::string path = JoinPath(folder, names[i]);
      int error = 0;
      auto file = ExclusiveFile::Open(path, &error);
      if (!file) continue;  // being written, held by another program, or read-only: next pass
      probed[i] = fileEntry{std::move(path), file->lastAccessNs(), uint32_t(file->size()), names[i], file->leased()};
    }
  };
  constexpr size_t kShared = 64;  // fewer are probed here alone
  if (names.size() >= kShared) {
    BackgroundWorker helper;
    helper.post(probe);
    probe();
    helper.drain();
  } else {
    probe();
  }
  std::vector<fileEntry> entries;
  for (auto& entry : probed)
    if (entry) entries.push_back(std::move(*entry));
  return entries;
}

// Makes `folder` unless it is a directory already (one level); false with the error in *error.
bool MakeFolder(const std::string& folder, int* error) {
  std::error_code ec;
  if (fs::is_directory(Utf8Path(folder), ec) || fs::create_directory(Utf8Path(folder), ec)) return true;
  *error = ec.value();
  return false;
}

// The same, saying why it failed.
bool EnsureFolder(const std::string& folder) {
  int error = 0;
  if (MakeFolder(folder, &error)) return true;
  LogError("Cannot create directory %s, error 0x%08x", folder.c_str(), unsigned(error));
  return false;
}

// Writes the whole buffer as `target`, in place at commit only.
bool WriteWhole(const std::string& target, ASVariableBuffer& buffer, int* error) {
  auto writer = AtomicFileWriter::Create(target, error);
  if (!writer) {
    LogError("Cannot create file %s, error 0x%08x", target.c_str(), unsigned(*error));
    return false;
  }
  return WriteBufferInto(*writer, buffer, error) && writer->commit(error);
}

}  // namespace

bool EnsureFolderExists(const std::string& folder) { return EnsureFolder(folder); }

bool WriteBufferInto(AtomicFileWriter& writer, ASVariableBuffer& buffer, int* error) {
  char piece[32768];
  for (int64_t at = 0; at < buffer.length();) {
    const int64_t got = buffer.copyOut(at, piece, int64_t(sizeof piece));
    if (got <= 0) {  // the buffer could not give back all it holds
      *error = EIO;
      return false;
    }
    if (!writer.write(piece, got, error)) return false;
    at += got;
  }
  return true;
}

std::string FileNameOf(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string JoinPath(const std::string& a, const std::string& b) { return a + "/" + b; }
std::string JoinPath(const std::string& a, const std::string& b, const std::string& c) { return a + "/" + b + "/" + c; }

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool IsXmlText(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    uint32_t c = *p;
    int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (more < 0 || end - p <= more) return false;
    if (more > 0) c &= 0x3F >> more;
    for (int i = 1; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    if (c < kShortest[more]) return false;  // an overlong form
    const bool xmlChar = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    if (!xmlChar) return false;
    p += more + 1;
  }
  return true;
}

std::string ColonsToHyphens(std::string path) {
  const size_t cut = path.rfind('/');
  for (size_t i = cut == std::string::npos ? 0 : cut + 1; i < path.size(); ++i)
    if (path[i] == ':') path[i] = '-';
  return path;
}

bool SameFolder(const std::string& a, const std::string& b) {
  if (a == b || a.empty() || b.empty()) return a == b;
  std::error_code ea, eb;
  const fs::path ca = fs::canonical(Utf8Path(a), ea), cb = fs::canonical(Utf8Path(b), eb);
  return !ea && !eb && ca == cb;
}

std::vector<std::string> ListXmlFiles(const std::string& folder) {
  std::vector<std::string> paths;
  for (auto& entry : FreeFiles(folder, ".xml")) paths.push_back(std::move(entry.path));
  return paths;
}

std::vector<std::string> ListXmlCandidates(const std::string& folder) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (fs::directory_iterator it(Utf8Path(folder), ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = Utf8Text(it->path().filename());
    if (HasExtension(name, ".xml") && !it->is_directory(ec)) paths.push_back(JoinPath(folder, name));
  }
  return paths;
}

std::vector<fileEntry> ListFilesByAge(const std::string& folder, const std::string& extension) {
  std::vector<fileEntry> entries = FreeFiles(folder, extension);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const fileEntry& a, const fileEntry& b) { return a.lastAccessTime < b.lastAccessTime; });
  return entries;
}

void PendingSyncs::takeFrom(PendingSyncs& other) {
  files_.insert(files_.end(), other.files_.begin(), other.files_.end());
  for (const std::string& folder : other.folders_) entryChanged(folder);
  other.files_.clear();
  other.folders_.clear();
}

void PendingSyncs::fileWritten(const std::string& path) {
  files_.push_back(path);
  entryChanged(FolderOf(path));
}

void PendingSyncs::entryChanged(const std::string& folder) {
  if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) folders_.push_back(folder);
}

bool PendingSyncs::sync() {
  if (files_.empty() && folders_.empty()) return true;
  int error = 0;
  const bool synced = SyncTogether(files_, folders_, &error);
  if (!synced)
    LogError("Cannot sync %d files and %d folders to disk (the first folder %s), error %d", int(files_.size()),
             int(folders_.size()), folders_.front().c_str(), error);
  files_.clear();
  folders_.clear();
  return synced;
}

std::optional<std::string> MoveFileToFolder(const std::string& folder, const std::string& path, ExclusiveFile* held,
                                            PendingSyncs* later) {
  const std::string target = JoinPath(folder, FileNameOf(path));
  if (!MoveFileTo(path, target, held, later)) return std::nullopt;
  return target;
}

bool ReadFileToBuffer(const std::string& path, ASVariableBuffer& buffer) {
  int error = 0;
  auto file = ExclusiveFile::Open(path, &error);
  if (file) {
    char piece[32768];
    int64_t got;
    while ((got = file->read(piece, sizeof piece)) > 0) {
      if (buffer.append(piece, got) != got) {
        error = ENOSPC;
        break;
      }
    }
    if (got == 0) return true;
    if (got < 0) error = errno;
  }
  LogError("Cannot read from file %s, error 0x%08x", path.c_str(), unsigned(error));
  return false;
}

bool WriteBufferToFile(const std::string& path, ASVariableBuffer& buffer) {
  return PreparedFileWrite(path, buffer).commit();
}

PreparedFileWrite::PreparedFileWrite(std::string path, ASVariableBuffer& buffer)
    : path_(std::move(path)), buffer_(buffer) {}
PreparedFileWrite::~PreparedFileWrite() = default;

void PreparedFileWrite::prepare(bool makeFolder) {
  const std::string folder = FolderOf(path_);
  std::error_code ec;
  if (!makeFolder && !fs::is_directory(Utf8Path(folder), ec)) return;
  prepared_ = true;
  if (!MakeFolder(folder, &error_)) {
    failed_ = Failed::kFolder;
    return;
  }
  writer_ = AtomicFileWriter::Create(ColonsToHyphens(path_), &error_);
  if (!writer_)
    failed_ = Failed::kCreate;
  else if (!WriteBufferInto(*writer_, buffer_, &error_) || !writer_->flush(&error_))
    failed_ = Failed::kWrite;
}

bool PreparedFileWrite::commit() {
  if (!prepared_) prepare();
  if (failed_ == Failed::kNothing && writer_->commit(&error_)) return true;
  if (failed_ == Failed::kFolder)
    LogError("Cannot create directory %s, error 0x%08x", FolderOf(path_).c_str(), unsigned(error_));
  if (failed_ == Failed::kCreate)
    LogError("Cannot create file %s, error 0x%08x", ColonsToHyphens(path_).c_str(), unsigned(error_));
  LogError("Cannot write to file %s, error 0x%08x", path_.c_str(), unsigned(error_));
  return false;
}

bool WriteBufferToDatedFile(const std::string& path, ASVariableBuffer& buffer) {
  int error = 0;
  size_t cut = path.rfind('/');
  if (cut == std::string::npos) {
    LogError("Bad path %s (no file name found)", path.c_str());
  } else {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const std::string folder = path.substr(0, cut), dated = JoinPath(folder, date);
    if (EnsureFolder(folder) && EnsureFolder(dated) &&
        WriteWhole(ColonsToHyphens(JoinPath(dated, path.substr(cut + 1))), buffer, &error))
      return true;
  }
  LogError("Cannot write to file %s, error 0x%08x", path.c_str(), unsigned(error));
  return false;
}

void RemoveLeftoverTemporaryFiles(const CPConfig& config) {
  const CPConfigPaths& p = config.paths;
  const std::pair<const OptString*, int> folders[] = {
      {&p.Inbound, 1}, {&p.Outbound, 1}, {&p.Queue, 0}, {&p.Bad, 0}, {&p.Copy, 2}};
  for (const auto& [folder, depth] : folders)
    if (*folder) RemoveStaleTemporaryFiles(**folder, depth);
}

namespace {

std::optional<std::string> Target(const CPConfig& c, const OptString& folder, const CPConfigAccount& account,
                                  const std::string& name) {
  if (!folder || !IsPlainName(name)) return std::nullopt;
  if (!c.paths.subdirsEnabled) return JoinPath(*folder, name);
  const OptString& sub = c.paths.subdirsByLogin ? account.login : account.ParticipantID;
  if (!sub) return std::nullopt;
  if (sub->empty()) return JoinPath(*folder, name);  // an empty subfolder name is the folder itself
  if (!IsPlainName(*sub)) return std::nullopt;
  return JoinPath(*folder, *sub, name);
}

}  // namespace

std::optional<std::string> InboundPath(const CPConfig& config, const CPConfigAccount& account,
                                       const std::string& name) {
  return Target(config, config.paths.Inbound, account, name);
}

std::optional<std::string> CopyPath(const CPConfig& config, const CPConfigAccount& account, const std::string& name) {
  return Target(config, config.paths.Copy, account, name);
}

bool MoveFileTo(const std::string& path, const std::string& target, ExclusiveFile* held, PendingSyncs* later) {
  int error = 0;
  const bool durable = later == nullptr;
  if (held ? held->moveTo(target, durable, &error) : MoveFileReplacing(path, target, durable, &error)) {
    if (later) {
      later->entryChanged(FolderOf(target));
      later->entryChanged(FolderOf(path));  // the name leaves here: the file must not come back
    }
    return true;
  }
  LogError("Moving file %s to %s failed, error %d", path.c_str(), target.c_str(), error);
  return false;
}

}  // namespace zel
