// The local machine's name as the SMTP service gives it in its HELO and EHLO replies, computed anew
// for every call: the resolver's official name of the host name, else the host name itself.
#pragma once

#include <optional>
#include <string>

namespace zel {

// None only when the host name cannot be read at all.
std::optional<std::string> LocalHostName();

}  // namespace zel
