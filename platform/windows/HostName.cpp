// The machine's name and the resolver's names for the mail gateway's greetings, on Windows Sockets
// (GetAddrInfoW and GetNameInfoW, both thread-safe).
#include "platform/HostName.h"

#include "platform/windows/Winsock.h"

namespace zel {

std::optional<std::string> MachineHostName() {
  win::StartWinsock();
  wchar_t name[1024] = {};
  if (::GetHostNameW(name, 1023) != 0) return std::nullopt;
  return win::Utf8(name);
}

std::optional<std::string> OfficialNameOf(const std::string& name) {
  win::StartWinsock();
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  ADDRINFOW* found = nullptr;
  if (::GetAddrInfoW(win::Wide(name).c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::optional<std::string> official;
  if (found->ai_canonname && *found->ai_canonname) official = win::Utf8(found->ai_canonname);
  ::FreeAddrInfoW(found);
  return official;
}

std::optional<std::string> OfficialNameOfAddress(const std::string& dotted) {
  win::StartWinsock();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1) return std::nullopt;
  wchar_t host[NI_MAXHOST] = {};
  if (::GetNameInfoW(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, NI_MAXHOST, nullptr, 0,
                     NI_NAMEREQD) != 0)
    return std::nullopt;
  return win::Utf8(host);
}

}  // namespace zel
