// An account's POP3 mailbox: the folder whose XML documents form it (by the same rule by which
// the engine delivers into inbound), its load into numbered messages, and the deletion at QUIT of
// exactly the files that were offered.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "mail/MailComposer.h"

namespace zel {

class MailSession;
struct CPConfigAccount;
struct CPConfigPaths;

using Pop3Messages = std::map<int, std::shared_ptr<pop3PacketInfo>>;

// inbound/login, inbound/ParticipantID, or inbound itself, by the Subdirs switches; none when a
// needed part is missing or is not a plain name.
std::optional<std::string> MailboxFolder(const CPConfigPaths& folders, const CPConfigAccount& account);

// The free documents of the session's account's mailbox, oldest access first, numbered from 1. A
// document that cannot be described is moved to the bad folder and takes no number. Documents
// taken on flock alone count only when their size and modification time stay the same over 1 s.
Pop3Messages LoadMailbox(MailSession& session);

// Deletes each file in number order, only while it is still the file that was offered (same
// inode, size and modification time); every outcome is logged.
void DeleteMessages(const Pop3Messages& messages);

}  // namespace zel
