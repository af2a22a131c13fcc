#include "engine/CPExchangeClient.h"

#include <cstdlib>

#include "aslib/ASDeflate.h"
#include "common/Log.h"
#include "common/TextConv.h"

namespace zel {
namespace {

std::array<std::string, 5> HostTable() {
  std::array<std::string, 5> table = {"edh1.carvoss.ru", "edh2.carvoss.ru", "edh3.carvoss.ru", "edh4.carvoss.ru",
                                      "edh5.carvoss.ru"};
  if (const char* override = std::getenv("ZEL_SERVER_HOSTS")) {
    std::string list = override;
    size_t row = 0, start = 0;
    while (row < table.size() && start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      TrimSpaces(name);
      if (!name.empty()) table[row] = name;
      ++row;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return table;
}

}  // namespace

const std::string& ServerHost(int32_t hostid) {
  static const std::array<std::string, 5> table = HostTable();
  return table[hostid >= 0 && hostid <= 4 ? size_t(hostid) : 0];
}

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
  request_->addParameter(std::string("file"), file);
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  if (compress_) request_->addHeader(std::string("Accept-Encoding"), std::string("gzip"));
  request_->addContentLength(0);
  Finish();
}

void CPExchangeClient::BuildRemoveRequest(const std::string& path, const std::string& file, const OptString& login,
                                          const OptSecret& password) {
  Begin(kGet, path, login, password);
  request_->addParameter(std::string("file"), file);
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  request_->addContentLength(0);
  Finish();
}

void CPExchangeClient::BuildPostRequest(const std::string& path, const std::string& envelopeId, const OptString& login,
                                        const OptSecret& password, ASVariableBuffer& body) {
  ASVariableBuffer packed;
  ASVariableBuffer* content = &body;
  body.setReadPosition(0);
  if (compress_ && DeflateBuffer(1, &body, &packed, 65536)) content = &packed;
  body.setReadPosition(0);
  Begin(kPost, path, login, password);
  request_->addParameter(std::string("id"), envelopeId);
  request_->addHeader(std::string("Connection"), std::string(keepAlive_ ? "keep-alive" : "close"));
  request_->addHeader(std::string("Content-Type"), std::string("application/xml"));
  if (content == &packed) request_->addHeader(std::string("Content-Encoding"), std::string("gzip"));
  request_->addContentLength(content->length());
  Finish();
  char scratch[65536];
  content->setReadPosition(0);
  int64_t got, copied = 0;
  while ((got = content->read(scratch, sizeof scratch)) > 0 && wire_.append(scratch, got) == got) copied += got;
  // A request that could not be built whole is not sent at all.
  if (copied != content->length()) wire_.reset();
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

ResponseResult CPExchangeClient::Read(ASVariableBuffer& body) {
  ResponseResult r = readResponse(channel_, wire_, body);
  response_ = r.response;
  // Only a whole response that keeps the connection open leaves it usable for the next request.
  spent_ = !(r.response && r.complete && r.response->keepAlive);
  return r;
}

std::vector<std::string> ParseFileList(const std::string& body) {
  std::vector<std::string> names;
  size_t start = 0;
  for (;;) {
    size_t feed = body.find('\n', start);
    std::string line = body.substr(start, feed == std::string::npos ? std::string::npos : feed - start);
    if (feed == std::string::npos && line.empty()) break;
    size_t space = line.find(' ');
    names.push_back(space == std::string::npos ? line : line.substr(space + 1));
    if (feed == std::string::npos) break;
    start = feed + 1;
  }
  return names;
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
  if (client.Send() <= 0) {
    LogError("Error while sending data to %s:%d", host.c_str(), port);
  } else {
    ASVariableBuffer body;
    ResponseResult r = client.Read(body);
    const char* name = account.name ? account.name->c_str() : "";
    if (r.status == 200) {
      result = ParseFileList(body.unreadBytes());
      if (result->empty())
        LogInfo("Empty list for account %s", name);
      else
        LogInfo("List for account %s loaded, %d files", name, int(result->size()));
    } else if (r.status < 0) {
      LogError("Cannot receive server response");
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
