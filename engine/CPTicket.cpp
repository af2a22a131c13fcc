#include "engine/CPTicket.h"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <ctime>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "common/Log.h"
#include "common/StopRequest.h"
#include "common/TextConv.h"
#include "config/CPConfig.h"
#include "config/XmlDepthLimit.h"
#include "document/FilePlacement.h"
#include "platform/Files.h"

namespace zel {
namespace {

// Larger than any real ticket by far: a bigger file is set aside rather than read.
constexpr size_t kLargestTicket = 65536;
// The longest name a folder entry takes, in bytes.
constexpr size_t kLongestName = 255;
// How many "~n" places a name may take in the queue before new work for it is refused.
constexpr int kMostPlaces = 10000;

// Besides the three characters that may not stand raw in a double-quoted attribute, tab, CR and
// LF go as character references: the parser would read them back as spaces.
void AppendEscaped(std::string& out, const std::string& value) {
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out += c;
    }
  }
}

void Piece(std::string& out, const char* element, const std::string& value) {
  out += "    <";
  out += element;
  out += " value=\"";
  AppendEscaped(out, value);
  out += "\" />\r\n";
}

uint64_t Unsigned(const char* text) {
  uint64_t n = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) n = n * 10 + uint64_t(*p - '0');
  return n;
}

struct TicketParse {
  CPTicket& ticket;
  bool inTicket = false;
  XmlDepthLimit depth;
};

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** atts) {
  auto& p = *static_cast<TicketParse*>(data);
  if (!p.depth.enter()) return;
  if (EqualsNoCase(name, "ticket")) {
    p.inTicket = true;
    return;
  }
  if (!p.inTicket) return;
  const char* value = nullptr;
  for (int i = 0; atts[i] && atts[i + 1]; i += 2)
    if (EqualsNoCase(atts[i], "value")) value = atts[i + 1];
  if (!value) return;
  CPTicket& t = p.ticket;
  if (EqualsNoCase(name, "TicketAction"))
    t.TicketAction = int32_t(Unsigned(value));
  else if (EqualsNoCase(name, "TicketFile"))
    t.TicketFile = value;
  else if (EqualsNoCase(name, "OutboundFile"))
    t.OutboundFile = value;
  else if (EqualsNoCase(name, "ParticipantID"))
    t.ParticipantID = value;
  else if (EqualsNoCase(name, "EnvelopeID"))
    t.EnvelopeID = value;
  else if (EqualsNoCase(name, "Login"))
    t.Login = value;
  else if (EqualsNoCase(name, "OriginalFilename"))
    t.OriginalFilename = value;
  else if (EqualsNoCase(name, "SendTime"))
    t.SendTime = Unsigned(value);
}

void XMLCALL End(void* data, const XML_Char* name) {
  auto& p = *static_cast<TicketParse*>(data);
  p.depth.leave();
  if (EqualsNoCase(name, "ticket")) p.inTicket = false;
}

uint64_t Now() { return uint64_t(std::time(nullptr)); }

// Up to kLargestTicket + 1 bytes of the file (enough to tell an oversized one), or none when a
// read fails.
std::optional<std::string> ReadCapped(const std::function<int64_t(char*, int64_t)>& read) {
  std::string text(kLargestTicket + 1, '\0');
  size_t have = 0;
  int64_t got = 0;
  while (have < text.size() && (got = read(text.data() + have, int64_t(text.size() - have))) > 0) have += size_t(got);
  if (got < 0) return std::nullopt;
  text.resize(have);
  return text;
}

// False with the parser's error text in `reason` when the XML library rejects the text.
bool ParseTicket(const std::string& text, CPTicket& ticket, std::string* reason) {
  TicketParse parse{ticket, false, XmlDepthLimit()};
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetElementHandler(parser, Start, End);
  XML_SetUserData(parser, &parse);
  parse.depth.attach(parser);
  bool parsed = XML_Parse(parser, text.data(), int(text.size()), 1) != XML_STATUS_ERROR;
  if (!parsed && reason) *reason = parse.depth.errorText();
  XML_ParserFree(parser);
  return parsed;
}

// The ticket at `path` without touching it: no exclusive open, no message, nothing deleted.
std::optional<CPTicket> PeekTicket(const std::string& path) {
  std::optional<std::string> text = PeekFile(path, kLargestTicket + 1);
  CPTicket ticket;
  if (!text || text->empty() || text->size() > kLargestTicket || !ParseTicket(*text, ticket, nullptr))
    return std::nullopt;
  return ticket;
}

// Nothing at all stands at `path`, not even a dangling link.
bool Vacant(const std::string& path) { return PathVacant(path); }

// Whether the ticket at `path` may be replaced by one for `work`: only when it is the same
// download listed again, or an upload ticket whose queued document is gone (the scan that wrote
// it died before the move, or the document was deleted by hand), which nothing can ever send.
bool GivesWay(const std::string& path, const CPTicket& work, const std::string& queueFolder) {
  std::optional<CPTicket> held = PeekTicket(path);
  if (!held) return false;  // unreadable, empty or broken: the queue pass reports it; never ours
  if (held->TicketAction == CPTicket::kDownload && work.TicketAction == CPTicket::kDownload)
    return held->OriginalFilename == work.OriginalFilename && held->Login == work.Login &&
           held->ParticipantID == work.ParticipantID;
  // The document is looked for in this queue folder too, in case its path was spelled another way.
  return held->TicketAction == CPTicket::kUpload && held->OutboundFile && Vacant(*held->OutboundFile) &&
         Vacant(JoinPath(queueFolder, FileNameOf(*held->OutboundFile)));
}

// The tickets this process wrote, as it wrote them, so that loading an unchanged one needs neither
// a read nor a parse. A file whose identity (device, inode, size, times) differs in any way from the
// one written is read as always: a ticket replaced, or changed by hand, since a change made a clock
// tick later shows in its times. (Only this service writes its queue; a rewrite of the same size
// within the tick of the file system's clock in which this process wrote the ticket would not show.)
// At most kRemembered are kept, so memory stays small however long the queue; a ticket removed or
// replaced by this process is forgotten or remembered anew.
class WrittenTickets {
 public:
  void remember(const CPTicket& ticket) {
    std::optional<FileIdentity> identity = IdentifyFile(*ticket.TicketFile);
    std::lock_guard<std::mutex> hold(lock_);
    if (!identity) {
      entries_.erase(*ticket.TicketFile);
      return;
    }
    auto found = entries_.find(*ticket.TicketFile);
    if (found != entries_.end())
      found->second = {*identity, ticket};
    else if (entries_.size() < kRemembered)
      entries_.emplace(*ticket.TicketFile, Entry{*identity, ticket});
  }
  void forget(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.erase(path);
  }
  std::optional<CPTicket> recall(const std::string& path) {
    std::optional<FileIdentity> identity = IdentifyFile(path);
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(path);
    if (found == entries_.end()) return std::nullopt;
    if (identity && *identity == found->second.identity) return found->second.ticket;
    entries_.erase(found);
    return std::nullopt;
  }

 private:
  static constexpr size_t kRemembered = 10000;
  struct Entry {
    FileIdentity identity;
    CPTicket ticket;
  };
  std::mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
};

WrittenTickets& Written() {
  static WrittenTickets written;
  return written;
}

// The name of place `n` in the queue: the stem, "~n" after it for n > 0, and the tail; the stem
// is cut (never inside a UTF-8 sequence) so that the whole name fits a folder entry.
std::string PlaceName(const std::string& stem, int n, const std::string& tail) {
  const std::string suffix = n > 0 ? "~" + std::to_string(n) : std::string();
  const size_t room = kLongestName - std::min(kLongestName, suffix.size() + tail.size());
  size_t keep = std::min(stem.size(), room);
  while (keep > 0 && keep < stem.size() && (uint8_t(stem[keep]) & 0xC0) == 0x80) --keep;
  return stem.substr(0, keep) + suffix + tail;
}

std::string StemOf(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string TicketAt(const std::string& queueFolder, const std::string& stem, int n) {
  return JoinPath(queueFolder, PlaceName(ColonsToHyphens(stem), n, ".ticket"));
}

// The first place in the queue whose ticket name is vacant or held by a ticket that gives way to
// `work`, and (when `document` is set) whose document name "stem~n.ext" is vacant too.
std::optional<int> FindPlace(const std::string& queueFolder, const std::string& name, const CPTicket& work,
                             bool document, const TicketBatch* batch) {
  const std::string stem = StemOf(name), extension = name.substr(stem.size());
  auto claimed = [batch](const std::string& path) { return batch && batch->taken.count(path) > 0; };
  for (int n = 0; n < kMostPlaces; ++n) {
    if (document) {
      const std::string queued = JoinPath(queueFolder, n == 0 ? name : PlaceName(stem, n, extension));
      if (claimed(queued) || !Vacant(queued)) continue;
    }
    const std::string ticket = TicketAt(queueFolder, stem, n);
    if (claimed(ticket)) continue;
    if (Vacant(ticket) || GivesWay(ticket, work, queueFolder)) return n;
  }
  return std::nullopt;
}

}  // namespace

bool TicketCanCarry(const std::string& text) { return IsXmlText(text); }

std::optional<std::string> QueuedDocumentPath(const std::string& queueFolder, const std::string& name,
                                              const TicketBatch* batch) {
  CPTicket work;
  work.TicketAction = CPTicket::kUpload;
  std::optional<int> n = FindPlace(queueFolder, name, work, true, batch);
  if (!n) return std::nullopt;
  const std::string stem = StemOf(name);
  return JoinPath(queueFolder, *n == 0 ? name : PlaceName(stem, *n, name.substr(stem.size())));
}

std::string TicketText(const CPTicket& t) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<ticket>\r\n";
  Piece(out, "TicketAction", std::to_string(t.TicketAction));
  Piece(out, "TicketFile", t.TicketFile.value_or(""));
  Piece(out, "OutboundFile", t.OutboundFile.value_or(""));
  Piece(out, "ParticipantID", t.ParticipantID.value_or(""));
  if (t.EnvelopeID) Piece(out, "EnvelopeID", *t.EnvelopeID);
  if (t.Login) Piece(out, "Login", *t.Login);
  Piece(out, "OriginalFilename", t.OriginalFilename.value_or(""));
  Piece(out, "SendTime", std::to_string(t.SendTime));
  out += "</ticket>";
  return out;
}

bool WriteTicket(const CPTicket& ticket, PendingSyncs* later) {
  if (!ticket.TicketFile || !ticket.OutboundFile || !ticket.ParticipantID || !ticket.OriginalFilename) return false;
  // A ticket that could not be read back would be deleted as broken at the next load.
  for (const auto* value : {&ticket.TicketFile, &ticket.OutboundFile, &ticket.ParticipantID, &ticket.EnvelopeID,
                            &ticket.Login, &ticket.OriginalFilename}) {
    if (*value && !TicketCanCarry(**value)) {
      LogError("Cannot write ticket file %s: a value holds a control character or invalid UTF-8",
               ticket.TicketFile->c_str());
      return false;
    }
  }
  int error = 0;
  const std::string text = TicketText(ticket);
  auto writer = AtomicFileWriter::Create(*ticket.TicketFile, &error, FileAccess::kUmask,
                                         later ? Durability::kSyncedLater : Durability::kAtCommit);
  if (!writer || !writer->write(text.data(), int64_t(text.size()), &error) ||
      !(later ? writer->commitUnsynced(&error) : writer->commit(&error))) {
    LogError("Cannot write ticket file %s", ticket.TicketFile->c_str());
    return false;
  }
  if (later) later->fileWritten(*ticket.TicketFile);
  Written().remember(ticket);
  LogDebug("Ticket file %s created", ticket.TicketFile->c_str());
  return true;
}

std::shared_ptr<CPTicket> CreateTicket(int32_t action, const std::optional<std::string>& participantId,
                                       const std::optional<std::string>& envelopeId,
                                       const std::optional<std::string>& login, const std::string& queueFolder,
                                       const std::string& dataPath, const std::optional<std::string>& originalName,
                                       TicketBatch* batch) {
  const std::string dataName = FileNameOf(dataPath);
  if (!participantId || queueFolder.empty() || dataPath.empty() || dataName.empty()) return nullptr;
  auto ticket = std::make_shared<CPTicket>();
  ticket->TicketAction = action;
  ticket->OutboundFile = dataPath;
  ticket->ParticipantID = participantId;
  ticket->EnvelopeID = envelopeId;
  ticket->Login = login;
  ticket->OriginalFilename = originalName.value_or(dataName);
  ticket->SendTime = Now() - 1;
  std::optional<int> place = FindPlace(queueFolder, dataName, *ticket, false, batch);
  if (!place) {
    LogError("No free ticket name for %s in %s", dataName.c_str(), queueFolder.c_str());
    return nullptr;
  }
  ticket->TicketFile = TicketAt(queueFolder, StemOf(dataName), *place);
  if (!WriteTicket(*ticket, batch ? &batch->syncs : nullptr)) return nullptr;
  // A download ticket needs no claim: it gives way only to the same download listed again.
  if (batch && action == CPTicket::kUpload) batch->taken.insert({*ticket->TicketFile, dataPath});
  return ticket;
}

bool LoadTicket(const std::string& path, CPTicket& ticket) {
  if (std::optional<CPTicket> written = Written().recall(path)) {
    ticket = std::move(*written);
    return true;
  }
  int error = 0;
  auto file = ExclusiveFile::Open(path, &error);
  if (!file) {
    LogError("Cannot open ticket file %s", path.c_str());
    return false;
  }
  if (file->size() == 0) return false;
  std::optional<std::string> text;
  if (file->size() <= int64_t(kLargestTicket)) {
    text = ReadCapped([&file](char* to, int64_t n) { return file->read(to, n); });
    if (!text) {
      LogError("Cannot open ticket file %s", path.c_str());
      return false;
    }
  }
  file.reset();
  if (!text || text->size() > kLargestTicket) {
    // No real ticket comes near this size: it is kept for a person to look at, out of the queue's way.
    // A link under the new name never replaces a file already there.
    for (int n = 0; n < 100; ++n) {
      const std::string aside = path + ".oversized" + (n > 0 ? "~" + std::to_string(n) : std::string());
      if (!LinkFile(path, aside, &error)) {
        if (error == EEXIST) continue;
        break;
      }
      RemoveFile(path, &error);
      LogError("Ticket file %s is larger than %d bytes, set aside as %s", path.c_str(), int(kLargestTicket),
               aside.c_str());
      return false;
    }
    LogError("Ticket file %s is larger than %d bytes and cannot be set aside, error %d", path.c_str(),
             int(kLargestTicket), error);
    return false;
  }

  std::string reason;
  if (!ParseTicket(*text, ticket, &reason)) {
    EventError("Unable to parse ticket file %s\n%s", path.c_str(), reason.c_str());
    if (!RemoveFile(path, &error)) LogError("Deleting file %s failed, error %d", path.c_str(), error);
    return false;
  }
  // The ticket names its own path; a path outside the folder it was found in is not taken, so a
  // ticket can never rewrite or delete a file elsewhere. The folder may be spelled differently
  // (a trailing slash, a link): the folders themselves are compared.
  if (ticket.TicketFile &&
      (!SameFolder(FolderOf(*ticket.TicketFile), FolderOf(path)) || !IsPlainName(FileNameOf(*ticket.TicketFile)))) {
    LogError("Ticket file %s names a ticket path outside its folder: %s", path.c_str(), ticket.TicketFile->c_str());
    ticket.TicketFile.reset();
  }
  return true;
}

bool DeferTicket(CPTicket& ticket, int64_t seconds) {
  ticket.SendTime = uint64_t(int64_t(Now()) + seconds);
  if (!WriteTicket(ticket)) {
    LogError("Cannot defer ticket file %s", ticket.TicketFile ? ticket.TicketFile->c_str() : "(null)");
    return false;
  }
  LogDebug("Ticket file %s deferred to %d seconds", ticket.TicketFile->c_str(), int(seconds));
  return true;
}

bool RemoveTicket(const CPTicket& ticket) {
  if (!ticket.TicketFile) {
    LogError("Cannot remove ticket file %s", "(null)");
    return false;
  }
  Written().forget(*ticket.TicketFile);
  if (int error = 0; !RemoveFile(*ticket.TicketFile, &error)) {
    LogError("Deleting file %s failed, error %d", ticket.TicketFile->c_str(), error);
    LogError("Cannot remove ticket file %s", ticket.TicketFile->c_str());
    return false;
  }
  LogDebug("Ticket file %s removed from queue", ticket.TicketFile->c_str());
  return true;
}

DueTickets LoadDueTickets(const CPConfig& config) {
  DueTickets due;
  if (!config.paths.Queue) return due;
  const int64_t now = int64_t(Now());
  for (const fileEntry& entry : ListFilesByAge(*config.paths.Queue, ".ticket")) {
    if (StopRequested()) break;  // a long queue is not read to its end once the service stops
    auto ticket = std::make_shared<CPTicket>();
    if (!LoadTicket(entry.path, *ticket)) {
      LogError("Unable to load ticket file %s", entry.path.c_str());
      continue;
    }
    if (int64_t(ticket->SendTime) >= now) continue;
    auto account = ticket->Login ? FindAccountByLogin(config, ticket->Login)
                                 : FindAccountByParticipantId(config, ticket->ParticipantID);
    if (!account) continue;  // waits until an account for it is configured
    (account->hostid == 0 ? due.batchA : due.batchB).push_back(std::move(ticket));
    due.any = true;
  }
  return due;
}

}  // namespace zel
