// The ticket queue: one small XML file per piece of work owed to the exchange server (upload a
// queued document, fetch a listed one), kept in the queue folder until done, postponed by
// rewriting its due time. A ticket on disk is always whole: it is written under a temporary name,
// synced, and renamed into place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "document/FilePlacement.h"

namespace zel {

struct CPConfig;

// Tickets written together, whose syncs are put off into `syncs` so that the whole batch becomes
// durable at once. Until their documents are where the tickets say, the places of a batch's
// tickets and documents are claimed in `taken`: a ticket whose document has not moved yet looks
// abandoned on disk, and must not give way to another of the same batch.
struct TicketBatch {
  PendingSyncs syncs;
  std::set<std::string> taken;
};

struct CPTicket {
  static constexpr int32_t kDownload = 1;
  static constexpr int32_t kUpload = 2;

  int32_t TicketAction = 0;
  std::optional<std::string> TicketFile;    // the ticket's own path
  std::optional<std::string> OutboundFile;  // upload: the queued document; download: its inbound target
  std::optional<std::string> ParticipantID;
  std::optional<std::string> EnvelopeID;
  std::optional<std::string> Login;
  std::optional<std::string> OriginalFilename;  // the document's name on the server or in outbound
  uint64_t SendTime = 0;                        // due once the current time (s since 1970) is later
};

// Where the tickets go. Every piece of work has a place of its own in the queue: a ticket or a
// queued document is never replaced by one for other work. The natural ticket name is
// queue/<data file name without its last extension>.ticket (colons in the name turned into
// hyphens); when another work's ticket holds it, the work takes the first free "<stem>~N" place.
// A ticket gives way only to the same download listed again, or when it is an upload ticket
// whose queued document is gone (nothing could ever send it). The names people and the server
// see (`OriginalFilename`, the envelope identifier) stay the original ones.
// The path an outbound document named `name` takes in the queue: queue/<name> when both it and
// its ticket name are free, else the first "<stem>~N<extension>" that is; none when no place is
// left. Only the main loop writes into the queue, so the place stays free until it is taken.
// Places a `batch` has claimed count as taken.
std::optional<std::string> QueuedDocumentPath(const std::string& queueFolder, const std::string& name,
                                              const TicketBatch* batch = nullptr);
// Whether a ticket can carry the text: UTF-8 made only of characters XML allows.
bool TicketCanCarry(const std::string& text);

// A new ticket, due at once, written to its place in the queue folder; null when it could not be
// written (or the participant identifier, the queue folder, the data path or its name is
// missing). `OriginalFilename` is `originalName`, or the data file's own name. A ticket written for
// a `batch` is whole on disk but durable only once the batch is synced; it claims its place there.
std::shared_ptr<CPTicket> CreateTicket(int32_t action, const std::optional<std::string>& participantId,
                                       const std::optional<std::string>& envelopeId,
                                       const std::optional<std::string>& login, const std::string& queueFolder,
                                       const std::string& dataPath,
                                       const std::optional<std::string>& originalName = std::nullopt,
                                       TicketBatch* batch = nullptr);
// The ticket file text.
std::string TicketText(const CPTicket& ticket);
// Durable when this returns, or, given `later`, once `later` is synced.
bool WriteTicket(const CPTicket& ticket, PendingSyncs* later = nullptr);
// Fills `ticket` from the file at `path`. An empty file fails silently and stays; a file larger
// than any ticket is set aside unread (renamed "<name>.oversized"); a file the XML parser rejects
// is reported on the event channel and deleted.
bool LoadTicket(const std::string& path, CPTicket& ticket);
bool DeferTicket(CPTicket& ticket, int64_t seconds);
bool RemoveTicket(const CPTicket& ticket);

// The due tickets of one queue pass, oldest first: batch A for accounts on the primary host
// (hostid 0), batch B for the others.
struct DueTickets {
  std::vector<std::shared_ptr<CPTicket>> batchA, batchB;
  bool any = false;
};
DueTickets LoadDueTickets(const CPConfig& config);

}  // namespace zel
