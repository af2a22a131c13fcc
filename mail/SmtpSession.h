// The SMTP service's session. Placeholder until the SMTP service is built: a connection handed
// here is closed at once.
#pragma once

#include <memory>

namespace zel {

class MailSession;

// Takes the session of one accepted SMTP connection and runs it to its end.
void RunSmtpSession(std::unique_ptr<MailSession> session);

}  // namespace zel
