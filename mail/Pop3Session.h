// The POP3 service's session: greeting, the command table in HELP order with one handler per
// command, the mailbox lock per lower-cased login from a successful PASS to the session's end, and
// deletion of the marked documents only at QUIT.
#pragma once

#include <memory>

namespace zel {

class MailSession;

// Takes the session of one accepted POP3 connection and runs it to its end.
void RunPop3Session(std::unique_ptr<MailSession> session);

}  // namespace zel
