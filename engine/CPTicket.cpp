#include "engine/CPTicket.h"

#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <ctime>

#include "common/Log.h"
#include "common/TextConv.h"
#include "config/CPConfig.h"
#include "config/XmlDepthLimit.h"
#include "document/FilePlacement.h"
#include "platform/Files.h"

namespace zel {
namespace {

void AppendEscaped(std::string& out, const std::string& value) {
  for (char c : value) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
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

}  // namespace

std::string TicketPathFor(const std::string& queueFolder, const std::string& dataPath) {
  std::string name = FileNameOf(dataPath);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return ColonsToHyphens(JoinPath(queueFolder, name + ".ticket"));
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

bool WriteTicket(const CPTicket& ticket) {
  if (!ticket.TicketFile || !ticket.OutboundFile || !ticket.ParticipantID || !ticket.OriginalFilename) return false;
  int error = 0;
  if (!WriteFileAtomically(*ticket.TicketFile, TicketText(ticket), &error)) {
    LogError("Cannot write ticket file %s", ticket.TicketFile->c_str());
    return false;
  }
  LogDebug("Ticket file %s created", ticket.TicketFile->c_str());
  return true;
}

std::shared_ptr<CPTicket> CreateTicket(int32_t action, const std::optional<std::string>& participantId,
                                       const std::optional<std::string>& envelopeId,
                                       const std::optional<std::string>& login, const std::string& queueFolder,
                                       const std::string& dataPath) {
  if (!participantId || queueFolder.empty() || dataPath.empty() || FileNameOf(dataPath).empty()) return nullptr;
  auto ticket = std::make_shared<CPTicket>();
  ticket->TicketAction = action;
  ticket->TicketFile = TicketPathFor(queueFolder, dataPath);
  ticket->OutboundFile = dataPath;
  ticket->ParticipantID = participantId;
  ticket->EnvelopeID = envelopeId;
  ticket->Login = login;
  ticket->OriginalFilename = FileNameOf(dataPath);
  ticket->SendTime = Now() - 1;
  return WriteTicket(*ticket) ? ticket : nullptr;
}

bool LoadTicket(const std::string& path, CPTicket& ticket) {
  int error = 0;
  auto file = ExclusiveFile::Open(path, &error);
  if (!file) {
    LogError("Cannot open ticket file %s", path.c_str());
    return false;
  }
  if (file->size() == 0) return false;
  std::string text(size_t(file->size()), '\0');
  size_t have = 0;
  int64_t got;
  while (have < text.size() && (got = file->read(text.data() + have, int64_t(text.size() - have))) > 0)
    have += size_t(got);
  text.resize(have);
  file.reset();

  TicketParse parse{ticket, false, XmlDepthLimit()};
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetElementHandler(parser, Start, End);
  XML_SetUserData(parser, &parse);
  parse.depth.attach(parser);
  bool parsed = XML_Parse(parser, text.data(), int(text.size()), 1) != XML_STATUS_ERROR;
  std::string reason = parsed ? "" : parse.depth.errorText();
  XML_ParserFree(parser);
  if (!parsed) {
    EventError("Unable to parse ticket file %s\n%s", path.c_str(), reason.c_str());
    if (::unlink(path.c_str()) != 0) LogError("Deleting file %s failed, error %d", path.c_str(), errno);
    return false;
  }
  // The ticket names its own path; a path outside the folder it was found in is not taken, so a
  // ticket can never rewrite or delete a file elsewhere.
  if (ticket.TicketFile &&
      (FolderOf(*ticket.TicketFile) != FolderOf(path) || !IsPlainName(FileNameOf(*ticket.TicketFile)))) {
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
  if (::unlink(ticket.TicketFile->c_str()) != 0) {
    LogError("Deleting file %s failed, error %d", ticket.TicketFile->c_str(), errno);
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
