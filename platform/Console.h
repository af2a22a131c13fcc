// Shows a message to the user at the active console (seat0's active session): a text console gets
// it on its terminal, as wall writes; a graphical session a desktop notification on that user's
// session bus (org.freedesktop.Notifications), sent as that user; with nobody there, nothing.
// Which session is active is asked of a lookup that tests can replace (logind by default).
// ZEL_CONSOLE_RECORD names a file that receives the messages instead, for tests.
// On Windows the message goes to the active console session through WTSSendMessageW, and the
// session lookup below does not exist.
#pragma once

#include <memory>
#include <optional>
#include <string>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace zel {

#ifndef _WIN32

struct ConsoleSession {
  enum class Kind { Text, Graphical };
  Kind kind = Kind::Text;
  uid_t uid = 0;           // the session's user
  std::string terminal;    // Text: the terminal device, such as /dev/tty2
  std::string busAddress;  // Graphical: the user's session bus, such as unix:path=/run/user/1000/bus
};

class ActiveSessionLookup {
 public:
  virtual ~ActiveSessionLookup() = default;
  // The active session of the console, or none when nobody is there.
  virtual std::optional<ConsoleSession> activeSession() = 0;
};
// The lookup through logind (sd-login).
std::unique_ptr<ActiveSessionLookup> MakeLogindSessionLookup();
// Replaces the lookup NotifyConsoleUser asks (null: logind again).
void SetActiveSessionLookup(std::shared_ptr<ActiveSessionLookup> lookup);

// Shows the message in that session; false when it could not be delivered. Waits at most a few
// seconds for a notification service that does not answer.
bool ShowInSession(const ConsoleSession& session, const std::string& title, const std::string& text);
#endif

void NotifyConsoleUser(const std::string& title, const std::string& text);

}  // namespace zel
