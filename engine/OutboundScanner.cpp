// The ticket is written before the document moves: a crash between the two leaves a ticket whose
// document is still in outbound, which the next pass queues again under the same ticket name. The
// other order would leave a queued document that no ticket will ever send.
#include "engine/OutboundScanner.h"

#include <cerrno>

#include "common/Log.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "engine/CPTicket.h"
#include "platform/Files.h"

namespace zel {
namespace {

// One document, held exclusively from its envelope read to its move.
void QueueDocument(const CPConfig& config, const std::string& path, const std::optional<std::string>& login) {
  int error = 0;
  auto held = ExclusiveFile::Open(path, &error);
  if (!held) return;  // taken by another program since the listing: next pass
  std::unique_ptr<envelopeInfo> envelope =
      ReadEnvelopeStream([&held](char* to, int64_t n) { return held->read(to, n); }, path);

  if (!envelope || !envelope->participantId) {
    if (login)
      LogError("Cannot find ParticipantID in XML file %s, moving to bad", path.c_str());
    else
      LogError("Cannot parse XML file %s, moving to bad", path.c_str());
    MoveFileToFolder(*config.paths.Bad, path, held.get());
    return;
  }

  LogDebug("ParticipantID %s in XML file %s, moving to queue", envelope->participantId->c_str(), path.c_str());
  const std::string& queue = *config.paths.Queue;
  const std::string queued = JoinPath(queue, FileNameOf(path));
  std::shared_ptr<CPTicket> ticket =
      CreateTicket(CPTicket::kUpload, envelope->participantId, envelope->envelopeId, login, queue, queued);
  if (!ticket) {
    LogError("XML file %s stays in outbound: its ticket cannot be written", path.c_str());
    return;  // it never left
  }
  if (!MoveFileToFolder(queue, path, held.get())) {
    RemoveTicket(*ticket);  // the document stays in outbound and is tried again next pass
    return;
  }
  LogInfo("XML file %s queued for delivery", ticket->OriginalFilename->c_str());
}

void ScanFolder(const CPConfig& config, const std::string& folder, const std::optional<std::string>& login) {
  for (const std::string& path : ListXmlFiles(folder)) QueueDocument(config, path, login);
}

}  // namespace

void ScanOutbound(const CPConfig& config) {
  BeginExclusivePass();
  const CPConfigPaths& p = config.paths;
  if (!p.Outbound || !p.Queue || !p.Bad) return;
  if (!p.subdirsByLogin) {
    ScanFolder(config, *p.Outbound, std::nullopt);
    return;
  }
  for (const auto& account : config.accounts) {
    if (!account->login) continue;
    if (!IsPlainName(*account->login)) {
      LogError("Login %s cannot name an outbound subfolder", account->login->c_str());
      continue;
    }
    ScanFolder(config, JoinPath(*p.Outbound, *account->login), account->login);
  }
}

}  // namespace zel
