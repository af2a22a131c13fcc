// The SMTP service's session: the greeting, the command table (HELO, EHLO, MAIL, RCPT, AUTH, DATA,
// QUIT) with its order checks, AUTH PLAIN and LOGIN, and messages of any size, each stored as a
// document in the outbound folder before it is answered.
#pragma once

#include <cstdint>
#include <memory>

namespace zel {

class ASVariableBuffer;
class MailSession;

// Takes the session of one accepted SMTP connection and runs it to its end.
void RunSmtpSession(std::unique_ptr<MailSession> session);

// The first `length` bytes of `input` with the first "." of every line that begins with one
// removed (lines start at 0 and after every CR LF); null when the copy cannot be kept.
std::unique_ptr<ASVariableBuffer> Unstuff(ASVariableBuffer& input, int64_t length);

}  // namespace zel
