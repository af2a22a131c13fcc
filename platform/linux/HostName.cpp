// getaddrinfo and getnameinfo in place of gethostbyname and gethostbyaddr, which share one static
// result between threads.
#include "platform/HostName.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace zel {

std::optional<std::string> MachineHostName() {
  char name[1024] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return std::string(name);
}

std::optional<std::string> OfficialNameOf(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::optional<std::string> official;
  if (found->ai_canonname && *found->ai_canonname) official = std::string(found->ai_canonname);
  ::freeaddrinfo(found);
  return official;
}

std::optional<std::string> OfficialNameOfAddress(const std::string& dotted) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1) return std::nullopt;
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
    return std::nullopt;
  return std::string(host);
}

}  // namespace zel
