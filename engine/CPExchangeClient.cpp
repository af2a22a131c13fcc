#include "engine/CPExchangeClient.h"

#include <atomic>
#include <ctime>

#include "aslib/ASDeflate.h"
#include "common/Log.h"
#include "common/StopRequest.h"
#include "common/TextConv.h"

namespace zel {
namespace {

std::atomic<int64_t> gLastSuccessfulExchange{-1};

}  // namespace

CPExchangeClient::CPExchangeClient(CPHostCache* hosts) : channel_(hosts) {}

bool CPExchangeClient::Connect(const std::string& host, int port, const CPConfigProxy* proxy, bool keepAlive,
                               bool compress) {
  host_ = host;
  port_ = port;
  if (proxy)
    proxy_ = *proxy;
  else
    proxy_.reset();
  spent_ = false;
  const bool primary = host == ServerHost(0);
  keepAlive_ = primary && keepAlive;
  compress_ = primary && compress;
  if (!channel_.connect(host, uint16_t(port), proxy_ ? &*proxy_ : nullptr)) return false;
  if (!channel_.handshake()) {
    channel_.disconnect();
    return false;
  }
  return true;
}

bool CPExchangeClient::Reconnect() {
  spent_ = false;
  channel_.disconnect();
  if (!channel_.connect(host_, uint16_t(port_), proxy_ ? &*proxy_ : nullptr)) return false;
  if (!channel_.handshake()) {
    channel_.disconnect();
    return false;
  }
  return true;
}

void CPExchangeClient::Disconnect() { channel_.disconnect(); }

namespace {

// A parameter value is percent-decoded when it is added to a request; a listed name must reach
// the server as exactly that name, so each "%" of it goes as "%25".
std::string LiteralParameter(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '%')
      out += "%25";
    else
      out += c;
  }
  return out;
}

}  // namespace

void CPExchangeClient::Begin(int method, const std::string& path, const OptString& login, const OptSecret& password) {
  request_ = std::make_shared<ASHttpRequest>();
  request_->method = method;
  request_->version = 2;
  request_->path = path;
  wire_.reset();
  request_->addHeader(std::string("Host"), port_ == 443 ? host_ : host_ + ":" + std::to_string(port_));
  if (login && password) {
    request_->addHeader(std::string("ED-LOGIN"), *login);
    request_->addHeader(std::string("ED-PASS"), password->str());
  }
}

void CPExchangeClient::Finish() {
  request_->writeTo(wire_);
  // The clear password stood in the request's headers: it goes as soon as the head is written.
  for (const auto& h : request_->headers())
    if (h->name && *h->name == "ED-PASS" && h->value) WipeBytes(h->value->data(), h->value->size());
}

void CPExchangeClient::BuildListRequest(const std::string& path, const OptString& login, const OptSecret& password) {
  Begin(kGet, path, login, password);
  request_->addHeader(std::string("Connection"), std::string("close"));
  request_->addContentLength(0);
  Finish();
}

void CPExchangeClient::BuildGetRequest(const std::string& path, const std::string& file, const OptString& login,
                                       const OptSecret& password) {
  Begin(kGet, path, login, password);
  request_->addParameter(std::string("file"), LiteralParameter(file));
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  if (compress_) request_->addHeader(std::string("Accept-Encoding"), std::string("gzip"));
  request_->addContentLength(0);
  Finish();
}

void CPExchangeClient::BuildRemoveRequest(const std::string& path, const std::string& file, const OptString& login,
                                          const OptSecret& password) {
  Begin(kGet, path, login, password);
  request_->addParameter(std::string("file"), LiteralParameter(file));
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  request_->addContentLength(0);
  Finish();
}

void CPExchangeClient::BuildPostRequest(const std::string& path, const std::string& envelopeId, const OptString& login,
                                        const OptSecret& password, ASVariableBuffer& body) {
  ASVariableBuffer packed;
  body.setReadPosition(0);
  const bool gzipped = compress_ && DeflateBuffer(1, &body, &packed, 65536);
  body.setReadPosition(0);
  BuildPost(path, envelopeId, login, password, gzipped ? packed : body, gzipped);
}

void CPExchangeClient::BuildPackedPostRequest(const std::string& path, const std::string& envelopeId,
                                              const OptString& login, const OptSecret& password,
                                              ASVariableBuffer& packed) {
  BuildPost(path, envelopeId, login, password, packed, true);
}

void CPExchangeClient::BuildPost(const std::string& path, const std::string& envelopeId, const OptString& login,
                                 const OptSecret& password, ASVariableBuffer& content, bool gzipped) {
  Begin(kPost, path, login, password);
  request_->addParameter(std::string("id"), envelopeId);
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  request_->addHeader(std::string("Content-Type"), std::string("application/xml"));
  if (gzipped) request_->addHeader(std::string("Content-Encoding"), std::string("gzip"));
  request_->addContentLength(content.length());
  Finish();
  char scratch[65536];
  content.setReadPosition(0);
  int64_t got, copied = 0;
  while ((got = content.read(scratch, sizeof scratch)) > 0 && wire_.append(scratch, got) == got) copied += got;
  // A request that could not be built whole is not sent at all.
  if (copied != content.length()) wire_.reset();
}

int64_t CPExchangeClient::Send() {
  if (spent_ || channel_.peerClosed()) {
    // A request on a closed connection would be lost, and its answer with it.
    if (!Reconnect()) {
      LogError("Cannot reconnect to %s:%d", host_.c_str(), port_);
      return -1;
    }
    LogInfo("Reconnected to %s:%d", host_.c_str(), port_);
  }
  wire_.setReadPosition(0);
  return channel_.send(wire_);
}

ResponseResult CPExchangeClient::Read(ASVariableBuffer& body, const BodyOptions& options) {
  ResponseResult r = readResponse(channel_, wire_, body, options);
  response_ = r.response;
  // Only a whole response that keeps the connection open leaves it usable for the next request.
  spent_ = !(r.response && r.complete && r.response->keepAlive);
  if (r.status == 200 && r.complete) gLastSuccessfulExchange = int64_t(std::time(nullptr));
  return r;
}

std::optional<int64_t> LastSuccessfulExchange() {
  int64_t when = gLastSuccessfulExchange;
  if (when < 0) return std::nullopt;
  return when;
}

void FileListParser::endLine() {
  ++entries;
  if (overlong_) {
    ++longLines;
  } else {
    size_t space = line_.find(' ');
    std::string name = space == std::string::npos ? line_ : line_.substr(space + 1);
    if (!name.empty()) {
      if (names.size() >= kMaxListedNames)
        full = true;
      else
        names.push_back(std::move(name));
    }
  }
  line_.clear();
  overlong_ = false;
}

bool FileListParser::take(std::string_view bytes) {
  if (StopRequested()) return false;
  while (!bytes.empty() && !full) {
    size_t feed = bytes.find('\n');
    std::string_view part = bytes.substr(0, feed);
    if (!overlong_) {
      if (line_.size() + part.size() > kMaxListLine) {
        overlong_ = true;
        line_.clear();
      } else {
        line_.append(part);
      }
    }
    if (feed == std::string_view::npos) break;
    endLine();
    bytes.remove_prefix(feed + 1);
  }
  return !full;
}

bool FileListParser::take(ASVariableBuffer& piece) {
  char block[65536];
  int64_t got;
  bool more = true;
  while (more && (got = piece.read(block, sizeof block)) > 0) more = take(std::string_view(block, size_t(got)));
  piece.reset();
  return more;
}

void FileListParser::finish() {
  if (!full && (!line_.empty() || overlong_)) endLine();
}

std::vector<std::string> ParseFileList(const std::string& body) {
  FileListParser parser;
  parser.take(std::string_view(body));
  parser.finish();
  return parser.names;
}

bool IsTextMessage(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot != std::string::npos && EqualsNoCase(std::string_view(name).substr(dot + 1), "txt");
}

std::optional<std::vector<std::string>> FetchFileList(const CPConfig& config, CPHostCache& hosts,
                                                      const CPConfigAccount& account) {
  CPExchangeClient client(&hosts);
  const std::string& host = ServerHost(account.hostid);
  const int port = config.server.port;
  if (!client.Connect(host, port, &config.proxy, false, false)) {
    LogError("Cannot connect to %s:%d", host.c_str(), port);
    return std::nullopt;
  }
  LogDebug("Connected to %s:%d", host.c_str(), port);
  std::optional<std::vector<std::string>> result;
  client.BuildListRequest(config.server.list.value_or(""), account.login, account.plainPassword);
  const char* name = account.name ? account.name->c_str() : "";
  // A list that a stop cut short is no failure: the next start asks again.
  auto givenUp = [name] {
    if (StopRequested()) LogInfo("Stop requested: list for account %s given up", name);
    return StopRequested();
  };
  if (client.Send() <= 0) {
    if (!givenUp()) LogError("Error while sending data to %s:%d", host.c_str(), port);
  } else {
    ASVariableBuffer body;
    FileListParser list;
    BodyOptions streamed;
    streamed.drain = [&list](ASVariableBuffer& piece) { return list.take(piece); };
    ResponseResult r = client.Read(body, streamed);
    if (r.status == 200) {
      list.finish();
      if (list.longLines > 0)
        LogWarning("List for account %s: %lld lines longer than %d bytes passed over", name,
                   static_cast<long long>(list.longLines), int(kMaxListLine));
      if (list.full)
        LogWarning("List for account %s holds more than %d names: the rest wait for the next list", name,
                   int(kMaxListedNames));
      result = std::move(list.names);
      if (list.entries == 0)
        LogInfo("Empty list for account %s", name);
      else
        LogInfo("List for account %s loaded, %lld files", name, static_cast<long long>(list.entries));
    } else if (r.status < 0) {
      if (!givenUp()) LogError("Cannot receive server response");
    } else {
      LogError("Server said %d %s - account %s", r.status, reasonPhrase(r.status), name);
    }
  }
  client.Disconnect();
  return result;
}

bool RemoveRemoteFile(CPExchangeClient& client, ASVariableBuffer& body, const OptString& path, const std::string& file,
                      const OptString& login, const OptSecret& password) {
  if (!path || file.empty() || !login || !password) return false;
  client.BuildRemoveRequest(*path, file, login, password);
  if (client.Send() <= 0) {
    LogError("Error while sending data to %s:%d", client.host().c_str(), client.port());
    return false;
  }
  body.reset();
  ResponseResult r = client.Read(body);
  if (r.status == 200) {
    LogInfo("File %s removal complete", file.c_str());
    return true;
  }
  if (r.status < 0)
    LogError("Cannot receive server response");
  else
    LogError("Server said %d %s", r.status, reasonPhrase(r.status));
  return false;
}

}  // namespace zel
