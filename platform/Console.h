// Shows a message to the user at the active console (seat0's active session): a text console gets
// it on its terminal, a graphical session as a desktop notification; with nobody there, nothing.
// ZEL_CONSOLE_RECORD names a file that receives the messages instead, for tests.
#pragma once

#include <string>

namespace zel {

void NotifyConsoleUser(const std::string& title, const std::string& text);

}  // namespace zel
