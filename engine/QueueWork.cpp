#include "engine/QueueWork.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "aslib/ASDeflate.h"
#include "aslib/ASVariableBuffer.h"
#include "common/BackgroundWorker.h"
#include "common/Log.h"
#include "common/StopRequest.h"
#include "common/TestKnobs.h"
#include "common/TextConv.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "engine/CPExchangeClient.h"
#include "engine/CPTicket.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Threads.h"

namespace zel {
namespace {

// Deferral times; ZEL_TEST_RETRY_SECONDS replaces both, so that tests need not wait minutes.
int64_t Deferral(int64_t seconds) {
  static const std::optional<int64_t> override = TestKnob("ZEL_TEST_RETRY_SECONDS");
  return override.value_or(seconds);
}
const int64_t kNoPasswordDeferral = 300;
const int64_t kUploadDeferral = 120;

std::shared_ptr<CPConfigAccount> AccountOf(const CPConfig& config, const CPTicket& ticket) {
  auto account = ticket.Login ? FindAccountByLogin(config, ticket.Login)
                              : FindAccountByParticipantId(config, ticket.ParticipantID);
  if (account)
    LogDebug("Found account %s for ParticipantID %s", account->name.value_or("").c_str(),
             ticket.ParticipantID.value_or("").c_str());
  return account;
}

// The ticket's account when it can sign in; a ticket whose account has no login or no usable
// password is deferred instead.
std::shared_ptr<CPConfigAccount> ReadyAccount(const CPConfig& config, CPTicket& ticket) {
  auto account = AccountOf(config, ticket);
  if (account && !(account->login && account->plainPassword)) {
    LogError("No login or incorrect password for account %s", account->name.value_or("").c_str());
    DeferTicket(ticket, Deferral(kNoPasswordDeferral));
    return nullptr;
  }
  return account;
}

// Download tickets of a list written before they are synced together.
constexpr size_t kListTicketGroup = 128;

// Files that were too large to take, by login and name: not fetched again in this run.
std::set<std::pair<std::string, std::string>>& Oversized() {
  static std::set<std::pair<std::string, std::string>> names;
  return names;
}

// Enough of a text message's start for what the console shows: more than 2048 characters (each
// takes at most 3 bytes as the conversion reads them) whenever the whole text has more.
std::string ShownPart(ASVariableBuffer& body) {
  std::string start(size_t(std::min<int64_t>(body.length(), 3 * 2049 + 2)), '\0');
  start.resize(size_t(std::max<int64_t>(0, body.copyOut(0, start.data(), int64_t(start.size())))));
  return start;
}

// Whether a stop cut the ticket's exchange short: then the ticket stays as it was, for the next start.
bool KeptForStop(const CPTicket& ticket) {
  if (!StopRequested()) return false;
  LogInfo("Stop requested: ticket %s kept for the next start", ticket.TicketFile.value_or("").c_str());
  return true;
}

// A server-given name that would leave its folder, or that no file system can hold, is refused.
bool SafeServerName(const std::string& name) { return IsPlainName(name) && name.find('\\') == std::string::npos; }

// A posted document's ticket, then the document.
void RemovePosted(const CPTicket& ticket, const std::string& document) {
  RemoveTicket(ticket);
  if (int error = 0; !RemoveFile(document, &error))
    LogError("Deleting file %s failed, error %d", document.c_str(), error);
}

// Finished work is deleted by a thread of its own while the next request goes out: where the file
// system hands freed blocks back to the disk at once, a deletion waits for the disk. Deletions run
// in the order they were handed over (a posted document's ticket before the document), and all of
// them are done before the batch ends, so the next pass never loads a ticket whose work is finished.
// A crash before a deletion leaves a ticket whose work the server has: a posted document is posted
// again and answered 558, a fetch asks for a file the server no longer has and is dropped.
BackgroundWorker* batchRemovals = nullptr;

// Sets `batchRemovals` for the life of a batch; its end waits for the last deletion.
class BatchRemovals {
 public:
  BatchRemovals() {
    batchRemovals = &worker_;
    // Nobody waits for a deletion before the batch ends: it takes a processor only while one is idle.
    if (worker_.threaded()) worker_.post(LowerThreadPriority);
  }
  ~BatchRemovals() {
    worker_.drain();
    batchRemovals = nullptr;
  }

 private:
  BackgroundWorker worker_;
};

// Deliveries of the batch being worked are written by a thread of their own while their envelopes
// are read; none outside a batch.
BackgroundWorker* batchDeliveries = nullptr;

// Sets `batchDeliveries` for the life of a batch.
class BatchDeliveries {
 public:
  BatchDeliveries() { batchDeliveries = &worker_; }
  ~BatchDeliveries() { batchDeliveries = nullptr; }

 private:
  BackgroundWorker worker_;
};

// A worked ticket is dropped: by the batch's removals where there are some, else at once.
void DropTicket(const CPTicket& ticket) {
  if (batchRemovals)
    batchRemovals->post([ticket] { RemoveTicket(ticket); });
  else
    RemoveTicket(ticket);
}

// In a kept-alive batch, which always compresses, the next uploads are read and compressed on a
// thread of their own a few tickets ahead of the one being posted, so the deflater works while the
// server answers. Nothing is logged there: a document that cannot be read or compressed is left to
// its own turn, which reads it again and says why. Larger documents are left to their turn as well,
// so that a stop never waits for one. The posted bytes are the queued document's as read then:
// nothing else writes a queued document.
class UploadCompressor {
 public:
  explicit UploadCompressor(const std::vector<std::shared_ptr<CPTicket>>& batch) {
    for (const auto& ticket : batch)
      if (ticket->TicketAction == CPTicket::kUpload && ticket->OutboundFile) {
        position_.emplace(ticket.get(), uploads_.size());
        uploads_.push_back(ticket.get());
      }
    postUpTo(kAhead);
  }
  ~UploadCompressor() { abandoned_ = true; }  // what is still waiting is skipped, then the worker ends

  // The compressed document of `ticket` when it could be prepared, else null. Valid until the
  // next call.
  ASVariableBuffer* take(const CPTicket& ticket) {
    current_.reset();
    auto found = position_.find(&ticket);
    if (found == position_.end()) return nullptr;
    const size_t at = found->second;
    while (!ahead_.empty() && ahead_.front()->index < at) ahead_.pop_front();  // tickets passed over
    postUpTo(at + kAhead);
    if (ahead_.empty() || ahead_.front()->index != at) return nullptr;
    current_ = std::move(ahead_.front());
    ahead_.pop_front();
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [this] { return current_->done; });
    return current_->ready ? &current_->packed : nullptr;
  }

 private:
  // Documents read ahead of the one being posted, and the largest taken so.
  static constexpr size_t kAhead = 8;
  static constexpr int64_t kLargest = 4 << 20;

  struct Entry {
    size_t index = 0;
    std::string path;
    ASVariableBuffer packed;
    bool done = false, ready = false;
  };

  void postUpTo(size_t last) {
    for (; next_ < uploads_.size() && next_ <= last; ++next_) {
      auto entry = std::make_shared<Entry>();
      entry->index = next_;
      entry->path = *uploads_[next_]->OutboundFile;
      ahead_.push_back(entry);
      worker_.post([this, entry] {
        const bool ready = !abandoned_ && !StopRequested() && compress(*entry);
        std::lock_guard<std::mutex> hold(lock_);
        entry->ready = ready;
        entry->done = true;
        done_.notify_all();
      });
    }
  }

  bool compress(Entry& entry) {
    raw_.reset();
    int error = 0;
    auto file = ExclusiveFile::Open(entry.path, &error);
    if (!file || file->size() > kLargest) return false;
    char piece[32768];
    int64_t got;
    while ((got = file->read(piece, sizeof piece)) > 0)
      if (raw_.append(piece, got) != got) return false;
    if (got != 0) return false;
    raw_.setReadPosition(0);
    return DeflateBuffer(1, &raw_, &entry.packed, 65536);
  }

  std::vector<const CPTicket*> uploads_;
  std::unordered_map<const CPTicket*, size_t> position_;
  std::deque<std::shared_ptr<Entry>> ahead_;
  std::shared_ptr<Entry> current_;
  size_t next_ = 0;
  std::atomic<bool> abandoned_{false};
  std::mutex lock_;
  std::condition_variable done_;
  ASVariableBuffer raw_;     // the worker's own
  BackgroundWorker worker_;  // last: ends before what its jobs use
};

// The compressor of the kept-alive batch being worked; none elsewhere.
UploadCompressor* batchCompressor = nullptr;

}  // namespace

void ProcessQueue(const CPConfig& config, CPHostCache& hosts) {
  DueTickets due = LoadDueTickets(config);
  if (due.any) {
    WorkBatchA(due, config, hosts);
    WorkBatchB(due, config, hosts);
  }
}

void WorkBatchA(const DueTickets& due, const CPConfig& config, CPHostCache& hosts) {
  if (due.batchA.empty()) return;
  BatchRemovals removals;
  BatchDeliveries deliveries;
  ASVariableBuffer body;
  CPExchangeClient client(&hosts);
  const std::string& host = ServerHost(0);
  const int port = config.server.port;
  // The primary host always takes its posts gzipped: their compression starts while the connection
  // is made.
  UploadCompressor compressor(due.batchA);
  batchCompressor = &compressor;
  struct Unset {
    ~Unset() { batchCompressor = nullptr; }
  } unset;
  if (!client.Connect(host, port, &config.proxy, true, true)) {
    LogError("Cannot connect to %s:%d", host.c_str(), port);
    return;
  }
  LogDebug("Connected to %s:%d", host.c_str(), port);
  for (const auto& ticket : due.batchA) {
    if (StopRequested()) break;
    body.reset();
    auto account = ReadyAccount(config, *ticket);
    if (!account || !ProcessTicket(body, *account, config, true, *ticket, client)) continue;
    if (!client.Reconnect()) {
      LogError("Cannot reconnect to %s:%d", host.c_str(), port);
      return;  // the rest stay due for the next pass
    }
    LogInfo("Reconnected to %s:%d", host.c_str(), port);
  }
  client.Disconnect();
}

void WorkBatchB(const DueTickets& due, const CPConfig& config, CPHostCache& hosts) {
  if (due.batchB.empty()) return;
  BatchRemovals removals;
  BatchDeliveries deliveries;
  ASVariableBuffer body;
  CPExchangeClient client(&hosts);
  const int port = config.server.port;
  for (const auto& ticket : due.batchB) {
    if (StopRequested()) break;
    body.reset();
    auto account = ReadyAccount(config, *ticket);
    if (!account) continue;
    const std::string& host = ServerHost(account->hostid);
    if (!client.Connect(host, port, &config.proxy, false, config.server.compression)) {
      LogError("Cannot connect to %s:%d", host.c_str(), port);
      continue;
    }
    LogDebug("Connected to %s:%d", host.c_str(), port);
    ProcessTicket(body, *account, config, false, *ticket, client);
    client.Disconnect();
  }
}

bool ProcessTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, bool keepAlive,
                   CPTicket& ticket, CPExchangeClient& client) {
  bool renew;
  switch (ticket.TicketAction) {
    case CPTicket::kDownload: renew = DownloadTicket(body, account, config, keepAlive, ticket, client); break;
    case CPTicket::kUpload: renew = UploadTicket(body, account, config, ticket, client); break;
    default: LogError("Unknown ticket action type %d", ticket.TicketAction); renew = false;
  }
  return keepAlive ? renew : true;
}

bool UploadTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, CPTicket& ticket,
                  CPExchangeClient& client) {
  const std::string file = ticket.OutboundFile.value_or("");
  // Only a document in the queue folder is ever posted and deleted, whatever a ticket names.
  if (!config.paths.Queue || !SameFolder(FolderOf(file), *config.paths.Queue)) {
    LogError("Ticket file %s names a document outside the queue folder: %s", ticket.TicketFile.value_or("").c_str(),
             file.c_str());
    RemoveTicket(ticket);
    return false;
  }
  bool finished = false;
  ASVariableBuffer* packed = batchCompressor && client.compress() ? batchCompressor->take(ticket) : nullptr;
  if (packed || ReadFileToBuffer(file, body)) {
    bool posted = false;
    if (config.server.post && ticket.EnvelopeID && account.login && account.plainPassword) {
      if (packed)
        client.BuildPackedPostRequest(*config.server.post, *ticket.EnvelopeID, account.login, account.plainPassword,
                                      *packed);
      else
        client.BuildPostRequest(*config.server.post, *ticket.EnvelopeID, account.login, account.plainPassword, body);
      int64_t sent = client.Send();
      if (sent <= 0) {
        LogError("Error while sending data to %s:%d", client.host().c_str(), client.port());
      } else {
        body.reset();
        ResponseResult r = client.Read(body);
        if (r.status == 200) {
          LogInfo("Packet %s sending complete, size %lld", ticket.EnvelopeID->c_str(), static_cast<long long>(sent));
          posted = finished = true;
        } else if (r.status < 0) {
          LogError("Cannot receive server response");
        } else {
          LogError("Server said %d %s", r.status, reasonPhrase(r.status));
          finished = r.status == 558;  // the server holds this envelope already
        }
      }
    }
    const std::string name = ticket.OriginalFilename.value_or(""), id = ticket.EnvelopeID.value_or("");
    if (posted)
      LogInfo("XML file %s id %s successfully posted to %s:%d", name.c_str(), id.c_str(), client.host().c_str(),
              client.port());
    else
      LogError("XML file %s id %s was not sent to %s:%d", name.c_str(), id.c_str(), client.host().c_str(),
               client.port());
  }
  if (finished) {
    // Neither removal is synced: the server holds the document now. Should a crash bring the ticket
    // back, the document is posted again and answered 558; a document left without its ticket is
    // one the server already has.
    if (batchRemovals)
      batchRemovals->post([ticket, file] { RemovePosted(ticket, file); });
    else
      RemovePosted(ticket, file);
    return false;
  }
  if (KeptForStop(ticket)) return true;
  DeferTicket(ticket, Deferral(kUploadDeferral));
  return true;
}

namespace {

// Removes the file from the server: on this connection in keep-alive mode, else on a new one.
bool RemoveFromServer(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, bool keepAlive,
                      const std::string& name, CPExchangeClient& client) {
  bool removed = (keepAlive || client.Reconnect()) &&
                 RemoveRemoteFile(client, body, config.server.remove, name, account.login, account.plainPassword);
  if (removed)
    LogInfo("File %s removed from server", name.c_str());
  else
    LogError("Cannot remove file %s from server", name.c_str());
  return removed;
}

}  // namespace

bool DownloadTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, bool keepAlive,
                    CPTicket& ticket, CPExchangeClient& client) {
  if (!config.server.get || !ticket.OriginalFilename) {
    DropTicket(ticket);
    return true;
  }
  const std::string name = *ticket.OriginalFilename;
  if (!SafeServerName(name)) {
    LogError("Refusing file name %s from the server: it would leave its folder", name.c_str());
    DropTicket(ticket);
    return false;
  }
  client.BuildGetRequest(*config.server.get, name, account.login, account.plainPassword);
  if (client.Send() <= 0) {
    LogError("Error while sending data to %s:%d", client.host().c_str(), client.port());
    if (!KeptForStop(ticket)) DropTicket(ticket);
    return true;
  }
  body.reset();
  BodyOptions bounded;
  bounded.limit = kMaxDownloadSize;
  ResponseResult r = client.Read(body, bounded);
  if (!(r.status == 200 && r.complete) && !r.tooLarge && KeptForStop(ticket)) return true;
  if (r.status < 0) {
    LogError("Cannot receive server response");
    DropTicket(ticket);
    return true;
  }
  if (r.status != 200) {
    LogError("Server said %d %s", r.status, reasonPhrase(r.status));
    DropTicket(ticket);
    return true;
  }
  if (r.tooLarge) {
    LogError(
        "File %s is larger than %lld bytes: it stays on the server and is not fetched again until the "
        "service restarts",
        name.c_str(), static_cast<long long>(kMaxDownloadSize));
    Oversized().emplace(account.login.value_or(""), name);
    body.reset();
    DropTicket(ticket);
    return true;
  }
  if (!r.complete) {
    LogError("File %s partial download, size %lld", name.c_str(), static_cast<long long>(body.length()));
    DropTicket(ticket);
    return true;
  }
  LogInfo("File %s download complete, size %lld", name.c_str(), static_cast<long long>(body.length()));
  bool renew = false;
  if (IsTextMessage(name)) {
    if (config.server.textmessage && body.length() > 0) ShowConsoleMessage(ShownPart(body));
    renew = !RemoveFromServer(body, account, config, keepAlive, name, client);
    DropTicket(ticket);
    return renew;
  }
  std::optional<std::string> target = InboundPath(config, account, name);
  std::optional<PreparedFileWrite> delivery;
  if (target) delivery.emplace(*target, body);
  // A body held in memory is written into inbound, nameless and synced, while its envelope is read
  // here: the sync is most of a delivery's time, the read needs only the processor. It is named
  // only once the envelope is found and the copy is written, so nothing shows in inbound earlier
  // (and a folder it needs is made only then).
  const bool early = delivery && batchDeliveries && !body.spilled();
  if (early) batchDeliveries->post([&delivery] { delivery->prepare(false); });
  std::unique_ptr<envelopeInfo> envelope = ReadEnvelopeBuffer(body);
  if (early) batchDeliveries->drain();
  if (!envelope) {
    delivery.reset();  // what was written for inbound goes
    LogError("No ED header in packet %s", name.c_str());
    if (config.paths.Bad) WriteBufferToFile(JoinPath(*config.paths.Bad, name), body);
    DropTicket(ticket);
    return false;
  }
  const std::string idText = envelope->envelopeId.value_or("");
  const char* id = idText.c_str();
  if (config.paths.copyEnabled) {
    if (auto copy = CopyPath(config, account, name); copy && WriteBufferToDatedFile(*copy, body))
      LogInfo("File %s id %s copied to %s", name.c_str(), id, copy->c_str());
  }
  if (!delivery) {
    LogError("Refusing file name %s from the server: it would leave its folder", name.c_str());
  } else if (delivery->commit()) {
    // The delivered file's data and its name are on disk when the write returns: only then may the
    // server let go of it. The ticket's removal below is not synced: a ticket a crash brings back
    // asks for a file the server no longer has, and is dropped.
    LogInfo("File %s id %s delivered to inbound", name.c_str(), id);
    renew = !RemoveFromServer(body, account, config, keepAlive, name, client);
  }
  DropTicket(ticket);
  return renew;
}

void RetrieveLists(const CPConfig& config, CPHostCache& hosts) {
  for (const auto& account : config.accounts) {
    if (StopRequested()) return;
    if (!account->plainPassword) {
      LogError("Bad password for account login %s", account->login.value_or("").c_str());
      continue;
    }
    auto names = FetchFileList(config, hosts, *account);
    if (!names || !config.paths.Queue) continue;
    // A list's download tickets are made durable in groups, where a sync apiece would cost a device
    // flush per file, and each group is synced while the next is written. A stop waits for the sync
    // of two groups at most, never of a whole long list. A crash before a group's sync leaves its
    // files on the server, where the next list finds them. The queue pass works none of them before
    // all are durable: the syncer is drained when the list is done.
    TicketBatch batch;
    BackgroundWorker syncer;  // after the batch: drained before the batch's own last sync
    size_t inBatch = 0;
    auto syncGroup = [&batch, &syncer, &inBatch] {
      auto group = std::make_shared<PendingSyncs>();
      group->takeFrom(batch.syncs);
      syncer.post([group] { group->sync(); });
      inBatch = 0;
    };
    for (const std::string& name : *names) {
      if (inBatch == kListTicketGroup) syncGroup();
      if (StopRequested()) return;
      if (name.empty()) continue;
      if (Oversized().count({account->login.value_or(""), name})) {
        LogDebug("File %s was too large to take: not fetched again until the service restarts", name.c_str());
        continue;
      }
      if (!SafeServerName(name)) {
        LogError("Refusing file name %s from the server: it would leave its folder", name.c_str());
        continue;
      }
      if (!TicketCanCarry(name)) {
        // Left on the server, where a person can rename it; said once per list.
        LogError(
            "Refusing file name %s from the server: a ticket cannot carry it (a control character or invalid "
            "UTF-8)",
            name.c_str());
        continue;
      }
      std::optional<std::string> target = InboundPath(config, *account, name);
      if (!target) {
        LogError("No inbound subfolder for account %s: its login or participant identifier names no folder",
                 account->name.value_or("").c_str());
        break;
      }
      auto ticket = CreateTicket(CPTicket::kDownload, account->ParticipantID, std::nullopt, account->login,
                                 *config.paths.Queue, *target, name, &batch);
      ++inBatch;
      if (ticket)
        LogInfo("%s file %s queued for delivery", IsTextMessage(name) ? "TXT" : "XML",
                ticket->OriginalFilename->c_str());
    }
  }
}

void ShowConsoleMessage(const std::string& text) {
  std::optional<std::u16string> wide = Utf8ToWide(text);
  if (!wide) return;
  if (wide->size() > 2048) wide->resize(2047);
  NotifyConsoleUser("Velmor Carvoss", WideToUtf8(*wide).value_or(""));
}

}  // namespace zel
