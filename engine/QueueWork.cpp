#include "engine/QueueWork.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "aslib/ASDeflate.h"
#include "aslib/ASVariableBuffer.h"
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

// Posted documents and their tickets are deleted by a thread of their own while the next post goes
// out: where the file system hands freed blocks back to the disk at once, a deletion waits for the
// disk. Each ticket goes before its document, in posting order, and every deletion is done before
// the batch ends, so the next pass never loads a ticket whose work is finished. A crash before a
// deletion leaves a ticket whose document the server holds: posted again, it is answered 558.
class BackgroundRemovals {
 public:
  BackgroundRemovals() : thread_([this] { run(); }) {}
  ~BackgroundRemovals() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  BackgroundRemovals(const BackgroundRemovals&) = delete;
  BackgroundRemovals& operator=(const BackgroundRemovals&) = delete;

  void add(const CPTicket& ticket, const std::string& document) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      work_.emplace_back(ticket, document);
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return ending_ || !work_.empty(); });
      if (work_.empty()) return;
      auto [ticket, document] = std::move(work_.front());
      work_.pop_front();
      hold.unlock();
      RemovePosted(ticket, document);
      hold.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::pair<CPTicket, std::string>> work_;
  bool ending_ = false;
  std::thread thread_;  // last: started once everything it uses is made
};

// The removals of the batch being worked; none outside a batch, where posted work is removed at once.
BackgroundRemovals* batchRemovals = nullptr;

// Sets `batchRemovals` for the life of a batch.
class BatchRemovals {
 public:
  BatchRemovals() { batchRemovals = &removals_; }
  ~BatchRemovals() { batchRemovals = nullptr; }

 private:
  BackgroundRemovals removals_;
};

// In a kept-alive, compressed batch, the next upload's document is read and compressed while the
// server answers the current one, so the time the deflater takes overlaps the wait. The posted
// bytes are the queued document's as read then: nothing else writes a queued document.
class UploadPrefetch {
 public:
  explicit UploadPrefetch(const std::vector<std::shared_ptr<CPTicket>>& tickets) : tickets_(tickets) {}

  // Prepares the upload that follows `current` in the batch, when there is one. Nothing is logged
  // here: a document that cannot be read or compressed is left to its own turn, which tells why.
  void prepareAfter(const CPTicket& current) {
    ready_ = nullptr;
    packed_.reset();
    // The batch is worked in order, so the current ticket is never before the one prepared last:
    // the search starts there, and a whole batch costs one walk over it.
    size_t at = next_;
    while (at < tickets_.size() && tickets_[at].get() != &current) ++at;
    if (at + 1 >= tickets_.size()) return;
    next_ = at + 1;
    const CPTicket& next = *tickets_[next_];
    if (next.TicketAction != CPTicket::kUpload || !next.OutboundFile || !readQuietly(*next.OutboundFile)) return;
    raw_.setReadPosition(0);
    if (!DeflateBuffer(1, &raw_, &packed_, 65536)) {
      packed_.reset();
      return;
    }
    ready_ = &next;
  }

  // The compressed document of `ticket` when it was prepared, else null.
  ASVariableBuffer* take(const CPTicket& ticket) {
    if (ready_ != &ticket) return nullptr;
    ready_ = nullptr;
    return &packed_;
  }

 private:
  bool readQuietly(const std::string& path) {
    raw_.reset();
    int error = 0;
    auto file = ExclusiveFile::Open(path, &error);
    if (!file) return false;
    char piece[32768];
    int64_t got;
    while ((got = file->read(piece, sizeof piece)) > 0)
      if (raw_.append(piece, got) != got) return false;
    return got == 0;
  }

  const std::vector<std::shared_ptr<CPTicket>>& tickets_;
  size_t next_ = 0;
  const CPTicket* ready_ = nullptr;
  ASVariableBuffer raw_, packed_;
};

// The prefetch of the kept-alive batch being worked; none elsewhere.
UploadPrefetch* batchPrefetch = nullptr;

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
  ASVariableBuffer body;
  CPExchangeClient client(&hosts);
  const std::string& host = ServerHost(0);
  const int port = config.server.port;
  if (!client.Connect(host, port, &config.proxy, true, true)) {
    LogError("Cannot connect to %s:%d", host.c_str(), port);
    return;
  }
  LogDebug("Connected to %s:%d", host.c_str(), port);
  UploadPrefetch prefetch(due.batchA);
  batchPrefetch = client.compress() ? &prefetch : nullptr;
  struct Unset {
    ~Unset() { batchPrefetch = nullptr; }
  } unset;
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
  ASVariableBuffer* packed = batchPrefetch ? batchPrefetch->take(ticket) : nullptr;
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
        if (batchPrefetch) batchPrefetch->prepareAfter(ticket);  // while the server answers
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
      batchRemovals->add(ticket, file);
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
    RemoveTicket(ticket);
    return true;
  }
  const std::string name = *ticket.OriginalFilename;
  if (!SafeServerName(name)) {
    LogError("Refusing file name %s from the server: it would leave its folder", name.c_str());
    RemoveTicket(ticket);
    return false;
  }
  client.BuildGetRequest(*config.server.get, name, account.login, account.plainPassword);
  if (client.Send() <= 0) {
    LogError("Error while sending data to %s:%d", client.host().c_str(), client.port());
    if (!KeptForStop(ticket)) RemoveTicket(ticket);
    return true;
  }
  body.reset();
  BodyOptions bounded;
  bounded.limit = kMaxDownloadSize;
  ResponseResult r = client.Read(body, bounded);
  if (!(r.status == 200 && r.complete) && !r.tooLarge && KeptForStop(ticket)) return true;
  if (r.status < 0) {
    LogError("Cannot receive server response");
    RemoveTicket(ticket);
    return true;
  }
  if (r.status != 200) {
    LogError("Server said %d %s", r.status, reasonPhrase(r.status));
    RemoveTicket(ticket);
    return true;
  }
  if (r.tooLarge) {
    LogError(
        "File %s is larger than %lld bytes: it stays on the server and is not fetched again until the "
        "service restarts",
        name.c_str(), static_cast<long long>(kMaxDownloadSize));
    Oversized().emplace(account.login.value_or(""), name);
    body.reset();
    RemoveTicket(ticket);
    return true;
  }
  if (!r.complete) {
    LogError("File %s partial download, size %lld", name.c_str(), static_cast<long long>(body.length()));
    RemoveTicket(ticket);
    return true;
  }
  LogInfo("File %s download complete, size %lld", name.c_str(), static_cast<long long>(body.length()));
  bool renew = false;
  if (IsTextMessage(name)) {
    if (config.server.textmessage && body.length() > 0) ShowConsoleMessage(ShownPart(body));
    renew = !RemoveFromServer(body, account, config, keepAlive, name, client);
    RemoveTicket(ticket);
    return renew;
  }
  std::unique_ptr<envelopeInfo> envelope = ReadEnvelopeBuffer(body);
  if (!envelope) {
    LogError("No ED header in packet %s", name.c_str());
    if (config.paths.Bad) WriteBufferToFile(JoinPath(*config.paths.Bad, name), body);
    RemoveTicket(ticket);
    return false;
  }
  const std::string idText = envelope->envelopeId.value_or("");
  const char* id = idText.c_str();
  if (config.paths.copyEnabled) {
    if (auto copy = CopyPath(config, account, name); copy && WriteBufferToDatedFile(*copy, body))
      LogInfo("File %s id %s copied to %s", name.c_str(), id, copy->c_str());
  }
  std::optional<std::string> target = InboundPath(config, account, name);
  if (!target) {
    LogError("Refusing file name %s from the server: it would leave its folder", name.c_str());
  } else if (WriteBufferToFile(*target, body)) {
    // The delivered file's data and its name are on disk when the write returns: only then may the
    // server let go of it. The ticket's removal below is not synced: a ticket a crash brings back
    // asks for a file the server no longer has, and is dropped.
    LogInfo("File %s id %s delivered to inbound", name.c_str(), id);
    renew = !RemoveFromServer(body, account, config, keepAlive, name, client);
  }
  RemoveTicket(ticket);
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
    // flush per file. A stop waits for the sync of one group at most, never of a whole long list. A
    // crash before a group's sync leaves its files on the server, where the next list finds them.
    std::optional<TicketBatch> batch;
    size_t inBatch = 0;
    for (const std::string& name : *names) {
      if (inBatch == kListTicketGroup) {
        batch.reset();  // synced as it goes
        inBatch = 0;
      }
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
      if (!batch) batch.emplace();
      auto ticket = CreateTicket(CPTicket::kDownload, account->ParticipantID, std::nullopt, account->login,
                                 *config.paths.Queue, *target, name, &*batch);
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
