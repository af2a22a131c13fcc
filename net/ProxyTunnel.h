// The HTTP proxy tunnel: CONNECT host:port over the socket, with no authentication (scheme 0),
// Basic (1) or NTLM with the process's own credentials (2; negotiate, challenge, authenticate on
// one connection). On failure the socket is disconnected.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zel {

class CPSocket;

bool ConnectViaProxy(CPSocket& socket, const std::string& targetHost, int targetPort, const std::string& proxyHost,
                     int proxyPort, int scheme, const std::optional<std::string>& login,
                     const std::optional<std::string>& password);

}  // namespace zel
