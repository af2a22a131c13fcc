// Until the POP3 service lands, a connection handed here is closed at once.
#include "mail/Pop3Session.h"

#include "mail/MailSession.h"

namespace zel {

void RunPop3Session(std::unique_ptr<MailSession> session) { session.reset(); }

}  // namespace zel
