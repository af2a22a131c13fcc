// A small HTTP/1.x client message model: requests that write themselves as a head, responses that
// parse a received head, the method, version and status tables, and readResponse, which receives a
// whole response (chunked or Content-Length framing, gzip or deflate coding) through any receiver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel {

class ASVariableBuffer;

struct httpHeader {
  std::optional<std::string> name, value;
};
struct requestParameter {
  std::optional<std::string> name, value;
};

const char* reasonPhrase(int code);      // "Unknown" outside the table
int versionId(const std::string& text);  // 1 "HTTP/1.0", 2 "HTTP/1.1", else 0
const char* methodText(int method);      // 1 OPTIONS ... 8 CONNECT

enum HttpMethod { kOptions = 1, kGet, kHead, kPost, kPut, kDelete, kTrace, kConnect };

// The longest response head taken, blank line included; a longer one is a broken response.
constexpr int64_t kMaxResponseHead = 65536;

// Header lists and the header analysis that requests and responses share.
class ASHttpMessage {
 public:
  virtual ~ASHttpMessage() = default;
  void addHeader(const std::optional<std::string>& name, const std::optional<std::string>& value);
  std::optional<std::string> getHeader(const std::string& name) const;
  void clearHeaders() { headers_.clear(); }
  const std::vector<std::shared_ptr<httpHeader>>& headers() const { return headers_; }
  virtual void analyseHeaders();

  int version = 0;
  bool keepAlive = false;
  bool chunked = false;
  int contentEncoding = 0;  // 1 gzip, 2 deflate
  std::optional<std::string> contentType;
  int32_t contentLength = -1;
  // A header value out of its range (a Content-Length beyond 32 bits): the message is broken.
  bool malformed = false;

 protected:
  virtual bool isRequest() const = 0;
  std::vector<std::shared_ptr<httpHeader>> headers_;
  std::optional<std::string> host_;
  int acceptEncodings_ = 0;
};

class ASHttpRequest : public ASHttpMessage {
 public:
  void addContentLength(int64_t n);
  // The value is stored percent-decoded.
  void addParameter(const std::optional<std::string>& name, const std::optional<std::string>& value);
  void clearParameters() { parameters_.reset(); }
  // "METHOD /path?name=value HTTP/1.1\r\n", parameters added while under 32512 bytes.
  std::string requestLine() const;
  void writeTo(ASVariableBuffer& out) const;

  const std::optional<std::string>& host() const { return host_; }
  int acceptEncodings() const { return acceptEncodings_; }

  int method = 0;
  std::optional<std::string> path;

 protected:
  bool isRequest() const override { return true; }
  std::optional<std::vector<std::shared_ptr<requestParameter>>> parameters_;
};

class CPProxyConnectRequest : public ASHttpRequest {
 public:
  CPProxyConnectRequest(std::string targetHost, int targetPort)
      : targetHost(std::move(targetHost)), targetPort(targetPort) {}
  // Proxy-Connection, Content-Length 0, User-Agent, Host "target:port".
  void addProxyHeaders();
  std::string targetHost;
  int targetPort;
};

class ASHttpResponse : public ASHttpMessage {
 public:
  // Reads exactly `length` bytes (the head with its blank line) from the buffer and parses them.
  bool parseHeader(ASVariableBuffer& buffer, int64_t length);
  int status = 0;

 protected:
  bool isRequest() const override { return false; }
};

// Whatever brings more received bytes: appends them to the buffer, returns how many (<= 0: no more).
class ASReceiver {
 public:
  virtual ~ASReceiver() = default;
  virtual int64_t receive(ASVariableBuffer& into) = 0;
};

struct ResponseResult {
  int status = -1;  // -1 when no head was parsed
  bool complete = false;
  bool tooLarge = false;  // the body passed (or announced more than) the caller's bound
  int64_t decoded = 0;    // decoded body bytes, also those a drain took
  std::shared_ptr<ASHttpResponse> response;
};

// How the caller takes a decoded body while it arrives.
struct BodyOptions {
  // More decoded bytes than this, or a Content-Length or chunk announcing more, end the reading
  // with `tooLarge`; the response then counts as incomplete.
  int64_t limit = INT64_MAX;
  // Called after every decoded piece with the body buffer, which it may empty; false ends the
  // reading (the response then counts as incomplete).
  std::function<bool(ASVariableBuffer&)> drain;
};

// Receives one response: head into `response`, decoded body appended to `body`.
ResponseResult readResponse(ASReceiver& channel, ASVariableBuffer& received, ASVariableBuffer& body,
                            const BodyOptions& options = {});

}  // namespace zel
