// One conversation with one exchange-server host over the TLS channel: the four requests (list,
// get, remove, post) built byte for byte, responses read with their bodies decoded, and the two
// self-contained exchanges FetchFileList and RemoveRemoteFile.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aslib/ASHttp.h"
#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "net/CPChannel.h"

namespace zel {

class CPHostCache;

// The five exchange-server hosts chosen by an account's hostid (row 0, the primary host, for any
// value outside 0..4). ZEL_SERVER_HOSTS (five comma-separated names) replaces the built-in table.
const std::string& ServerHost(int32_t hostid);

class CPExchangeClient {
 public:
  explicit CPExchangeClient(CPHostCache* hosts);

  // Keep-alive and compression are granted only for the primary host.
  bool Connect(const std::string& host, int port, const CPConfigProxy* proxy, bool keepAlive, bool compress);
  bool Reconnect();
  void Disconnect();

  void BuildListRequest(const std::string& path, const OptString& login, const OptSecret& password);
  void BuildGetRequest(const std::string& path, const std::string& file, const OptString& login,
                       const OptSecret& password);
  void BuildRemoveRequest(const std::string& path, const std::string& file, const OptString& login,
                          const OptSecret& password);
  // The body is gzip-compressed first when compression was granted.
  void BuildPostRequest(const std::string& path, const std::string& envelopeId, const OptString& login,
                        const OptSecret& password, ASVariableBuffer& body);
  // Sends the built request: bytes sent, 0 or less on failure. A connection that the server has
  // closed, or said it would close after its last response, is renewed first.
  int64_t Send();
  // Status (-1 when no head arrived), with the decoded body appended to `body`.
  ResponseResult Read(ASVariableBuffer& body);

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  bool keepAlive() const { return keepAlive_; }
  bool compress() const { return compress_; }
  ASVariableBuffer& wireBuffer() { return wire_; }

 private:
  void Begin(int method, const std::string& path, const OptString& login, const OptSecret& password);
  void Finish();

  std::shared_ptr<ASHttpRequest> request_;
  std::shared_ptr<ASHttpResponse> response_;
  ASVariableBuffer wire_;
  CPChannel channel_;
  std::optional<CPConfigProxy> proxy_;
  bool keepAlive_ = false;
  bool compress_ = false;
  bool spent_ = false;  // the last response ended the connection's use: renew before sending
  std::string host_;
  int port_ = 0;
};

// The names of a list body: the text after the first space of every line ending in a line feed
// (the whole line when it has none), and of the rest after the last line feed when not empty.
std::vector<std::string> ParseFileList(const std::string& body);
// Whether a listed name is a text message from the server (extension "txt", any case).
bool IsTextMessage(const std::string& name);

// The names waiting for the account, or none when the listing failed.
std::optional<std::vector<std::string>> FetchFileList(const CPConfig& config, CPHostCache& hosts,
                                                      const CPConfigAccount& account);
bool RemoveRemoteFile(CPExchangeClient& client, ASVariableBuffer& body, const OptString& path, const std::string& file,
                      const OptString& login, const OptSecret& password);

}  // namespace zel
