// One conversation with one exchange-server host over the TLS channel: the four requests (list,
// get, remove, post) built byte for byte, responses read with their bodies decoded, and the two
// self-contained exchanges FetchFileList and RemoveRemoteFile.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aslib/ASHttp.h"
#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "net/CPChannel.h"
#include "net/ServerHosts.h"

namespace zel {

class CPHostCache;

// When a response of the exchange server last arrived whole with status 200, in seconds since 1970
// (process-wide); none before the first.
std::optional<int64_t> LastSuccessfulExchange();

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
  // The same with a body gzip-compressed beforehand (only where compression was granted).
  void BuildPackedPostRequest(const std::string& path, const std::string& envelopeId, const OptString& login,
                              const OptSecret& password, ASVariableBuffer& packed);
  // Sends the built request: bytes sent, 0 or less on failure. A connection that the server has
  // closed, or said it would close after its last response, is renewed first.
  int64_t Send();
  // Status (-1 when no head arrived), with the decoded body appended to `body` (or taken by the
  // options' drain, within their bound).
  ResponseResult Read(ASVariableBuffer& body, const BodyOptions& options = {});

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
  void BuildPost(const std::string& path, const std::string& envelopeId, const OptString& login,
                 const OptSecret& password, ASVariableBuffer& content, bool gzipped);
  bool spent_ = false;  // the last response ended the connection's use: renew before sending
  std::string host_;
  int port_ = 0;
};

// The most names taken from one list; the rest wait for the next list.
constexpr size_t kMaxListedNames = 100000;
// The longest list line taken; a longer one names no file any system could hold and is passed over.
constexpr size_t kMaxListLine = 4096;

// Reads a list body piece by piece as it arrives. Every line ending in a line feed is one entry,
// and so is the rest after the last line feed when it is not empty; the name is the text after the
// line's first space (the whole line when it has none). Only non-empty names are kept, so memory
// grows with the names alone, and at most kMaxListedNames of them.
class FileListParser {
 public:
  // Takes every unread byte of `piece` and empties it; false once the bound of names is reached
  // (the name beyond it is not kept).
  bool take(ASVariableBuffer& piece);
  bool take(std::string_view bytes);
  // The end of the body: the text after the last line feed becomes an entry when not empty.
  void finish();

  std::vector<std::string> names;
  int64_t entries = 0;    // every entry, empty names included
  int64_t longLines = 0;  // lines passed over for their length
  bool full = false;      // the bound of names was reached

 private:
  void endLine();
  std::string line_;
  bool overlong_ = false;
};

// The non-empty names of a whole list body (FileListParser over one piece).
std::vector<std::string> ParseFileList(const std::string& body);
// Whether a listed name is a text message from the server (extension "txt", any case).
bool IsTextMessage(const std::string& name);

// The names waiting for the account, or none when the listing failed.
std::optional<std::vector<std::string>> FetchFileList(const CPConfig& config, CPHostCache& hosts,
                                                      const CPConfigAccount& account);
bool RemoveRemoteFile(CPExchangeClient& client, ASVariableBuffer& body, const OptString& path, const std::string& file,
                      const OptString& login, const OptSecret& password);

}  // namespace zel
