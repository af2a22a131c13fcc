// A name that begins with a letter is looked up as a name; any other is read as a dotted IPv4
// address and looked up backwards. Without an official name the host name itself serves.
#include "mail/LocalHostName.h"

#include "platform/HostName.h"

namespace zel {

std::optional<std::string> LocalHostName() {
  std::optional<std::string> name = MachineHostName();
  if (!name) return std::nullopt;
  const char first = name->empty() ? '\0' : (*name)[0];
  const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
  std::optional<std::string> official = letter ? OfficialNameOf(*name) : OfficialNameOfAddress(*name);
  return official ? official : name;
}

}  // namespace zel
