// Stores the document a mail carries: a valid packet is a multipart mail with the subject "EDS"; its
// first attachment, decoded from Base64 or quoted-printable, is written into the outbound folder (or
// the login's subfolder) as "<envelope identifier>.xml", durable and in place before the caller
// answers. Anything else is dropped with success, as the client must not retry it.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace zel {

class ASVariableBuffer;
struct CPConfigAccount;
struct CPConfigPaths;

enum class StoreResult {
  kOk,       // stored, or dropped on purpose: 250
  kFailed,   // could not be written; the client may try again: 421
  kRefused,  // its envelope identifier is not a plain file name; the client must not try again: 5xx
};

// `authUser` names the sender in the log ("-" when none); `account` gives the login of the subfolder.
StoreResult StorePacket(ASVariableBuffer& message, const CPConfigPaths& folders,
                        const std::shared_ptr<CPConfigAccount>& account, const std::optional<std::string>& authUser);

// A name chosen by someone else that may name a file: not empty, not "." or "..", no "/", "\" or
// NUL, and UTF-8 made only of characters XML allows (so a ticket can carry it).
bool IsStorableName(const std::string& name);

}  // namespace zel
