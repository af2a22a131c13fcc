#include "mail/Mailbox.h"

#include <cerrno>
#include <filesystem>

#include "common/Log.h"
#include "common/Utf8Path.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "mail/MailSession.h"
#include "platform/Files.h"

namespace zel {

std::optional<std::string> MailboxFolder(const CPConfigPaths& folders, const CPConfigAccount& account) {
  if (!folders.Inbound) return std::nullopt;
  if (!folders.subdirsEnabled) return *folders.Inbound;
  const OptString& sub = folders.subdirsByLogin ? account.login : account.ParticipantID;
  if (!sub || !IsPlainName(*sub)) return std::nullopt;
  return JoinPath(*folders.Inbound, *sub);
}

namespace {

// BuildMessageInfo, with the envelope of an unchanged large document taken from the cache.
std::shared_ptr<pop3PacketInfo> Describe(EnvelopeCache& envelopes, const fileEntry& file) {
  const std::optional<EnvelopeCache::Identity> before = EnvelopeCache::Of(file.path);
  if (before)
    if (std::optional<envelopeInfo> known = envelopes.find(file.path, *before)) return DescribeMessage(file, *known);
  std::unique_ptr<envelopeInfo> envelope = ReadEnvelopeFile(file.path);
  if (!envelope) return nullptr;
  // Kept only when the file stood still while it was read.
  if (before && EnvelopeCache::Of(file.path) == before) envelopes.keep(file.path, *before, *envelope);
  return DescribeMessage(file, *envelope);
}

}  // namespace

Pop3Messages LoadMailbox(MailSession& session) {
  Pop3Messages messages;
  if (!session.account) return messages;
  std::optional<std::string> folder = MailboxFolder(session.folders, *session.account);
  if (!folder) return messages;
  std::vector<fileEntry> files = ListFilesByAge(*folder, ".xml");
  if (files.empty()) return messages;

  // Without a lease a writer that holds a document open is invisible: such a document counts
  // only when it stays unchanged over one second (one wait for all of them).
  std::vector<std::optional<FileIdentity>> seen(files.size());
  bool recheck = false;
  for (size_t i = 0; i < files.size(); ++i) {
    seen[i] = IdentifyFile(files[i].path);
    recheck = recheck || !files[i].leased;
  }
  if (recheck && !session.pause(std::chrono::seconds(1))) return messages;

  LogInfo("%d file(s) found for POP3 user %s", int(files.size()), session.account->login->c_str());
  int number = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const fileEntry& file = files[i];
    if (!seen[i] || (!file.leased && IdentifyFile(file.path) != seen[i])) continue;
    std::shared_ptr<pop3PacketInfo> info = Describe(session.shared().envelopes, file);
    if (!info) {
      if (session.folders.Bad && MoveFileToFolder(*session.folders.Bad, file.path))
        LogError("File %s moved to bad", file.path.c_str());
      continue;
    }
    // A document replaced while it was being described is left for the next load.
    if (IdentifyFile(file.path) != seen[i]) continue;
    info->device = seen[i]->device;
    info->inode = seen[i]->inode;
    info->fileSize = seen[i]->size;
    info->modifiedNs = seen[i]->modifiedNs;
    messages.emplace(++number, std::move(info));
  }
  return messages;
}

void DeleteMessages(const Pop3Messages& messages) {
  for (const auto& [number, info] : messages) {
    const char* path = info->filePath.c_str();
    std::optional<FileIdentity> now = IdentifyFile(info->filePath);
    int error = now ? 0 : errno;
    if (now && !(now->device == info->device && now->inode == info->inode && now->size == info->fileSize &&
                 now->modifiedNs == info->modifiedNs)) {
      LogWarning("File %s was replaced after it was offered and is kept", path);
      LogInfo("Unable to delete file %s", path);
      continue;
    }
    std::error_code ec;
    if (now && std::filesystem::remove(Utf8Path(info->filePath), ec)) {
      LogInfo("File %s deleted", path);
      continue;
    }
    if (ec) error = ec.value();
    LogError("Deleting file %s failed, error %d", path, error);
    LogInfo("Unable to delete file %s", path);
  }
}

}  // namespace zel
