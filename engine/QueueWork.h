// Working the due tickets of a queue pass: batch A (accounts on the primary host) over one
// kept-alive, compressing connection; batch B over one connection per ticket. Uploads post a
// queued document and remove ticket and document only once the server has it (200, or 558 for an
// envelope it already holds); downloads fetch, check, copy, deliver and then remove from the server.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

class ASVariableBuffer;
class CPExchangeClient;
class CPHostCache;
struct CPConfig;
struct CPConfigAccount;
struct CPTicket;
struct DueTickets;

void ProcessQueue(const CPConfig& config, CPHostCache& hosts);
void WorkBatchA(const DueTickets& due, const CPConfig& config, CPHostCache& hosts);
void WorkBatchB(const DueTickets& due, const CPConfig& config, CPHostCache& hosts);
// Performs the ticket's action; whether the connection must be renewed before the next ticket.
bool ProcessTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, bool keepAlive,
                   CPTicket& ticket, CPExchangeClient& client);
bool UploadTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, CPTicket& ticket,
                  CPExchangeClient& client);
bool DownloadTicket(ASVariableBuffer& body, const CPConfigAccount& account, const CPConfig& config, bool keepAlive,
                    CPTicket& ticket, CPExchangeClient& client);

// The largest decoded download taken; a larger file stays on the server and is not fetched again
// until the service restarts.
constexpr int64_t kMaxDownloadSize = int64_t(1) << 30;

// One list retrieval for every account, a download ticket per listed file.
void RetrieveLists(const CPConfig& config, CPHostCache& hosts);
// Shows a server text message to the user at the console, cut to 2047 characters.
void ShowConsoleMessage(const std::string& text);

}  // namespace zel
