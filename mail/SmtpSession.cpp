// Placeholder for the SMTP service: the session is released at once, which closes the connection.
#include "mail/SmtpSession.h"

#include "mail/MailSession.h"

namespace zel {

void RunSmtpSession(std::unique_ptr<MailSession> session) { session.reset(); }

}  // namespace zel
