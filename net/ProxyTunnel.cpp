#include "net/ProxyTunnel.h"

#include <memory>

#include "aslib/ASHttp.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "common/Log.h"
#include "config/SecretString.h"
#include "net/CPSocket.h"
#include "platform/Ntlm.h"

namespace zel {
namespace {

// One NTLM step: 1 more needed, 0 complete, -1 failure; the new authentication string in *auth.
int NtlmStep(NtlmClient& ntlm, const std::string& proxyHost, const std::optional<std::string>& challenge,
             std::optional<std::string>* auth) {
  std::string token, failure;
  std::optional<std::string> decoded;
  if (challenge) decoded = CPBase64::decode(*challenge);
  int rc = ntlm.step("HTTP", proxyHost, decoded, &token, &failure);
  if (rc < 0) {
    LogDebug("%s", failure.c_str());
    return -1;
  }
  auth->reset();
  if (!token.empty()) *auth = CPBase64().encode(token);
  return rc;
}

bool Tunnel(CPSocket& socket, const std::string& targetHost, int targetPort, const std::string& proxyHost,
            int proxyPort, int scheme, const std::optional<std::string>& login,
            const std::optional<std::string>& password) {
  std::optional<std::string> auth;
  std::unique_ptr<NtlmClient> ntlm;
  int ntlmStatus = 0;
  if (scheme == 1) {
    if (!login || !password) {
      LogError("No login or bad password for proxy %s", proxyHost.c_str());
      return false;
    }
    SecretString pair(*login + ":" + *password);
    auth = CPBase64().encode(pair.view());
  } else if (scheme == 2) {
    ntlm = MakeNtlmClient();
    ntlmStatus = NtlmStep(*ntlm, proxyHost, std::nullopt, &auth);
    if (ntlmStatus < 0) {
      LogError("AD authentication failed for proxy %s", proxyHost.c_str());
      return false;
    }
  } else if (scheme != 0) {
    LogError("Cannot create auth string for scheme %d", scheme);
    return false;
  }
  if (scheme != 0 && (!auth || auth->empty())) {
    LogError("Cannot create auth string for scheme %d", scheme);
    return false;
  }
  if (!socket.connect(proxyHost, uint16_t(proxyPort))) return false;

  ASVariableBuffer buffer;
  CPProxyConnectRequest request(targetHost, targetPort);
  char block[32768];
  for (;;) {
    if (scheme != 0) request.addHeader(std::string("Proxy-Authorization"), (scheme == 1 ? "Basic " : "NTLM ") + *auth);
    request.addProxyHeaders();
    buffer.reset();
    std::string head = "CONNECT " + targetHost + ":" + std::to_string(targetPort) + " HTTP/1.0\r\n";
    for (const auto& h : request.headers()) head += *h->name + ": " + *h->value + "\r\n";
    head += "\r\n";
    buffer.append(head);
    int64_t n = buffer.read(block, sizeof block);
    if (socket.send(block, n) <= 0) {
      LogError("Error while sending request to proxy %s:%d", proxyHost.c_str(), proxyPort);
      return false;
    }
    buffer.reset();

    std::shared_ptr<ASHttpResponse> response;
    for (;;) {
      int64_t got = socket.recv(block, sizeof block);
      if (got < 0) {
        LogError("Error while receiving response from proxy %s:%d", proxyHost.c_str(), proxyPort);
        return false;
      }
      const int64_t before = buffer.length();
      if (got > 0) buffer.append(block, got);
      int64_t p = buffer.find("\r\n\r\n", before > 4 ? before - 4 : 0);
      if ((p < 0 && buffer.length() > kMaxResponseHead) || p + 4 > kMaxResponseHead) {
        LogError("Proxy %s:%d answered with a head longer than %d bytes", proxyHost.c_str(), proxyPort,
                 int(kMaxResponseHead));
        return false;
      }
      if (p < 0) {
        if (got == 0) return false;  // closed, or timed out, before a whole head
        continue;
      }
      response = std::make_shared<ASHttpResponse>();
      if (!response->parseHeader(buffer, p + 4)) {
        LogError("Cannot parse proxy headers");
        return false;
      }
      break;
    }
    // A body announced with the answer is drained, so the next answer starts clean.
    if (response->contentLength > 0) {
      int64_t left = response->contentLength - buffer.unread();
      while (left > 0) {
        int64_t got = socket.recv(block, std::min<int64_t>(left, sizeof block));
        if (got <= 0) break;
        left -= got;
      }
    }
    const int status = response->status;
    if (status == 200) {
      LogDebug("Connected via proxy %s:%d", proxyHost.c_str(), proxyPort);
      return true;
    }
    if (status == 407 || status == 401) {
      if (scheme != 2 || ntlmStatus != 1) {
        LogError("Authorization failed for proxy %s", proxyHost.c_str());
        return false;
      }
      auth.reset();
      std::optional<std::string> challenge = response->getHeader("Proxy-Authenticate");
      size_t space = challenge ? challenge->find(' ') : std::string::npos;
      if (space == std::string::npos ||
          (ntlmStatus = NtlmStep(*ntlm, proxyHost, challenge->substr(space), &auth)) < 0 || !auth) {
        LogError("AD negotiation failed for proxy %s", proxyHost.c_str());
        return false;
      }
      request.clearHeaders();
      continue;
    }
    LogError("Proxy server said %d %s", status, reasonPhrase(status));
    return false;
  }
}

}  // namespace

bool ConnectViaProxy(CPSocket& socket, const std::string& targetHost, int targetPort, const std::string& proxyHost,
                     int proxyPort, int scheme, const std::optional<std::string>& login,
                     const std::optional<std::string>& password) {
  LogDebug("Requested connect via proxy %s:%d", proxyHost.c_str(), proxyPort);
  if (Tunnel(socket, targetHost, targetPort, proxyHost, proxyPort, scheme, login, password)) return true;
  LogError("Cannot connect via proxy %s:%d", proxyHost.c_str(), proxyPort);
  socket.disconnect();
  return false;
}

}  // namespace zel
