// Documents are queued in groups, each document held exclusively from its envelope read to its
// move. The tickets of a group are written first and made durable together; only then do the
// group's documents move into the queue, and those moves are made durable together before the
// scan ends, so before any of them can be posted. A crash at any moment therefore leaves every
// document in outbound, or in the queue with a whole ticket, or in bad: never in the queue without
// its ticket. A ticket whose document is still in outbound gives way when the next pass queues the
// document again, so it takes the same place. The other order would leave a queued document that
// no ticket will ever send.
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

// Documents held open at once while their tickets are made durable: enough that a thousand cost
// a handful of syncs, few enough to stay far from the limit on open files.
constexpr size_t kGroupSize = 128;

// A document whose ticket is written, on its way into the queue.
struct Queuing {
  std::string path, queued;
  std::unique_ptr<ExclusiveFile> held;
  std::shared_ptr<CPTicket> ticket;
};

// Reads one document's envelope and writes its ticket into the batch; a document that belongs in
// bad goes there (its move recorded in `moves`). Null when the document stays where it is.
std::unique_ptr<Queuing> Prepare(const CPConfig& config, const std::string& path,
                                 const std::optional<std::string>& login, TicketBatch& batch, PendingSyncs& moves) {
  int error = 0;
  auto held = ExclusiveFile::Open(path, &error);
  if (!held) return nullptr;  // taken by another program since the listing: next pass
  const std::string name = FileNameOf(path);
  if (!TicketCanCarry(name)) {
    LogError("XML file %s has a name that a ticket cannot carry (a control character or invalid UTF-8), moving to bad",
             path.c_str());
    MoveFileToFolder(*config.paths.Bad, path, held.get(), &moves);
    return nullptr;
  }
  std::unique_ptr<envelopeInfo> envelope =
      ReadEnvelopeStream([&held](char* to, int64_t n) { return held->read(to, n); }, path);

  if (!envelope || !envelope->participantId) {
    if (login)
      LogError("Cannot find ParticipantID in XML file %s, moving to bad", path.c_str());
    else
      LogError("Cannot parse XML file %s, moving to bad", path.c_str());
    MoveFileToFolder(*config.paths.Bad, path, held.get(), &moves);
    return nullptr;
  }

  LogDebug("ParticipantID %s in XML file %s, moving to queue", envelope->participantId->c_str(), path.c_str());
  const std::string& queue = *config.paths.Queue;
  // A place of its own in the queue: never over another document or another document's ticket.
  const std::optional<std::string> queued = QueuedDocumentPath(queue, name, &batch);
  std::shared_ptr<CPTicket> ticket = queued ? CreateTicket(CPTicket::kUpload, envelope->participantId,
                                                           envelope->envelopeId, login, queue, *queued, name, &batch)
                                            : nullptr;
  if (!ticket) {
    LogError("XML file %s stays in outbound: its ticket cannot be written", path.c_str());
    return nullptr;  // it never left
  }
  return std::make_unique<Queuing>(Queuing{path, *queued, std::move(held), std::move(ticket)});
}

void QueueGroup(const CPConfig& config, const std::vector<std::string>& paths,
                const std::optional<std::string>& login) {
  TicketBatch batch;
  PendingSyncs moves;
  std::vector<std::unique_ptr<Queuing>> group;
  for (const std::string& path : paths)
    if (auto queuing = Prepare(config, path, login, batch, moves)) group.push_back(std::move(queuing));
  // Every ticket of the group is on disk before the first of its documents leaves outbound.
  if (!batch.syncs.sync()) {
    for (const auto& q : group) {
      RemoveTicket(*q->ticket);
      LogError("XML file %s stays in outbound: its ticket cannot be made durable", q->path.c_str());
    }
    return;
  }
  for (const auto& q : group) {
    if (!MoveFileTo(q->path, q->queued, q->held.get(), &moves)) {
      RemoveTicket(*q->ticket);  // the document stays in outbound and is tried again next pass
      continue;
    }
    LogInfo("XML file %s queued for delivery", q->ticket->OriginalFilename->c_str());
  }
  moves.sync();  // before the queue pass can post and delete any of them
}

void ScanFolder(const CPConfig& config, const std::string& folder, const std::optional<std::string>& login) {
  // Each document is opened exclusively once, when its group is prepared: one another program
  // holds then is passed over until the next pass.
  const std::vector<std::string> paths = ListXmlCandidates(folder);
  for (size_t at = 0; at < paths.size(); at += kGroupSize)
    QueueGroup(config,
               std::vector<std::string>(paths.begin() + ptrdiff_t(at),
                                        paths.begin() + ptrdiff_t(std::min(paths.size(), at + kGroupSize))),
               login);
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
