// The machine's own name and what the resolver says about a name or an address, for the greetings
// of the mail gateway. Thread-safe; none where the system has no answer.
#pragma once

#include <optional>
#include <string>

namespace zel {

// The host name as gethostname gives it (at most 1023 bytes), or none.
std::optional<std::string> MachineHostName();
// The resolver's official (canonical) name of a host name, or none.
std::optional<std::string> OfficialNameOf(const std::string& name);
// The resolver's name for a dotted IPv4 address, or none (also when the text is not such an address).
std::optional<std::string> OfficialNameOfAddress(const std::string& dotted);

}  // namespace zel
