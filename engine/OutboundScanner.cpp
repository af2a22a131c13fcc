// Documents are queued in groups, each document held exclusively from its envelope read to its
// move. The tickets of a group are written first and made durable together; only then do the
// group's documents move into the queue, and those moves are made durable together before the
// scan ends, so before any of them can be posted. A crash at any moment therefore leaves every
// document in outbound, or in the queue with a whole ticket, or in bad: never in the queue without
// its ticket. A ticket whose document is still in outbound gives way when the next pass queues the
// document again, so it takes the same place. The other order would leave a queued document that
// no ticket will ever send.
// The envelopes of a group are read on two threads at once, and a group's tickets are synced while
// the next group is read: the XML parse and the wait for the disk are most of what a scan costs.
#include "engine/OutboundScanner.h"

#include <atomic>
#include <cerrno>

#include "common/BackgroundWorker.h"
#include "common/Log.h"
#include "common/StopRequest.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "engine/CPTicket.h"
#include "platform/Files.h"

namespace zel {
namespace {

// Documents of a group. Three groups are held open at most (one being read, one getting its tickets,
// one waiting for their sync): enough that a thousand documents cost a handful of syncs, few enough
// to stay far from the limit on open files.
constexpr size_t kGroupSize = 128;

// A document of a group as its read left it.
struct Candidate {
  std::string path;
  std::unique_ptr<ExclusiveFile> held;  // none: another program holds it, and it waits for the next pass
  bool carriable = false;               // its name can stand in a ticket
  std::unique_ptr<envelopeInfo> envelope;
};

// Takes the document and reads its envelope; any thread. The envelope reader reports a parse error.
void Read(Candidate& c) {
  int error = 0;
  c.held = ExclusiveFile::Open(c.path, &error);
  if (!c.held) return;
  c.carriable = TicketCanCarry(FileNameOf(c.path));
  if (c.carriable) c.envelope = ReadEnvelopeStream([&c](char* to, int64_t n) { return c.held->read(to, n); }, c.path);
}

// A document whose ticket is written, on its way into the queue.
struct Queuing {
  std::string path, queued;
  std::unique_ptr<ExclusiveFile> held;
  std::shared_ptr<CPTicket> ticket;
};

// The documents of a group whose tickets wait to be durable.
struct Group {
  std::vector<Queuing> documents;
  bool synced = false;
};

// The documents of a group being read: this thread and the reader take them one by one.
struct Reading {
  std::vector<Candidate> candidates;
  std::atomic<size_t> next{0};

  void work() {
    for (size_t i; (i = next.fetch_add(1)) < candidates.size();) Read(candidates[i]);
  }
};

// One outbound folder's scan, group by group: while this thread writes the tickets of one group and
// moves the one before it, the reader reads the next, and the tickets written last are synced.
class FolderScan {
 public:
  FolderScan(const CPConfig& config, std::optional<std::string> login) : config_(config), login_(std::move(login)) {}

  void add(std::vector<Candidate> candidates) {
    auto reading = std::make_shared<Reading>();
    reading->candidates = std::move(candidates);
    reader_.post([reading] { reading->work(); });
    placeRead();
    reading->work();  // what the reader has not taken yet
    reader_.drain();
    read_ = std::move(reading);
  }

  // The last group moves, and every move of the scan is made durable.
  void finish() {
    placeRead();
    moveWaiting();
    moves_.sync();  // before the queue pass can post and delete any of them
  }

 private:
  // Writes the tickets of the group read last, moves the group before it once its tickets are
  // durable, and has the new tickets synced.
  void placeRead() {
    if (!read_) return;
    auto group = std::make_shared<Group>();
    for (Candidate& c : read_->candidates) place(c, *group);
    read_.reset();
    moveWaiting();
    auto syncs = std::make_shared<PendingSyncs>();
    syncs->takeFrom(tickets_.syncs);
    waiting_ = group;
    syncer_.post([group, syncs] { group->synced = syncs->sync(); });
  }

  // Writes the document's ticket into the scan's batch; a document that belongs in bad goes there.
  // Logged in listing order, whichever thread read the document.
  void place(Candidate& c, Group& group) {
    if (!c.held) return;  // taken by another program since the listing: next pass
    const std::string& bad = *config_.paths.Bad;
    if (!c.carriable) {
      LogError(
          "XML file %s has a name that a ticket cannot carry (a control character or invalid UTF-8), moving to bad",
          c.path.c_str());
      MoveFileToFolder(bad, c.path, c.held.get(), &moves_);
      return;
    }
    if (!c.envelope || !c.envelope->participantId) {
      if (login_)
        LogError("Cannot find ParticipantID in XML file %s, moving to bad", c.path.c_str());
      else
        LogError("Cannot parse XML file %s, moving to bad", c.path.c_str());
      MoveFileToFolder(bad, c.path, c.held.get(), &moves_);
      return;
    }
    LogDebug("ParticipantID %s in XML file %s, moving to queue", c.envelope->participantId->c_str(), c.path.c_str());
    const std::string& queue = *config_.paths.Queue;
    const std::string name = FileNameOf(c.path);
    // A place of its own in the queue: never over another document or another document's ticket.
    const std::optional<std::string> queued = QueuedDocumentPath(queue, name, &tickets_);
    std::shared_ptr<CPTicket> ticket =
        queued ? CreateTicket(CPTicket::kUpload, c.envelope->participantId, c.envelope->envelopeId, login_, queue,
                              *queued, name, &tickets_)
               : nullptr;
    if (!ticket) {
      LogError("XML file %s stays in outbound: its ticket cannot be written", c.path.c_str());
      return;  // it never left
    }
    group.documents.push_back(Queuing{c.path, *queued, std::move(c.held), std::move(ticket)});
  }

  // Once its tickets are durable, the group waiting for them moves into the queue.
  void moveWaiting() {
    if (!waiting_) return;
    syncer_.drain();
    std::shared_ptr<Group> group = std::move(waiting_);
    if (!group->synced) {
      for (const Queuing& q : group->documents) {
        RemoveTicket(*q.ticket);
        LogError("XML file %s stays in outbound: its ticket cannot be made durable", q.path.c_str());
      }
      return;
    }
    for (const Queuing& q : group->documents) {
      if (!MoveFileTo(q.path, q.queued, q.held.get(), &moves_)) {
        RemoveTicket(*q.ticket);  // the document stays in outbound and is tried again next pass
        continue;
      }
      LogInfo("XML file %s queued for delivery", q.ticket->OriginalFilename->c_str());
    }
  }

  const CPConfig& config_;
  const std::optional<std::string> login_;
  // Every ticket of the scan claims its places here, so that no two documents of the scan share one,
  // also while the earlier one's document has not moved yet; the syncs are handed on group by group.
  TicketBatch tickets_;
  PendingSyncs moves_;
  std::shared_ptr<Reading> read_;     // read, its tickets not written yet
  std::shared_ptr<Group> waiting_;    // tickets written, waiting for them to be durable
  BackgroundWorker reader_, syncer_;  // last: they end before what their jobs use
};

void ScanFolder(const CPConfig& config, const std::string& folder, const std::optional<std::string>& login) {
  // Each document is opened exclusively once, when its group is read: one another program holds
  // then is passed over until the next pass.
  const std::vector<std::string> paths = ListXmlCandidates(folder);
  FolderScan scan(config, login);
  for (size_t at = 0; at < paths.size(); at += kGroupSize) {
    if (StopRequested()) break;  // the rest stay in outbound for the next start
    std::vector<Candidate> group(std::min(paths.size() - at, kGroupSize));
    for (size_t i = 0; i < group.size(); ++i) group[i].path = paths[at + i];
    scan.add(std::move(group));
  }
  scan.finish();
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
