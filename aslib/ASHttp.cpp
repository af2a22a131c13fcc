#include "aslib/ASHttp.h"

#include <cstdlib>
#include <cstring>

#include "aslib/ASChunkReader.h"
#include "aslib/ASInflate.h"
#include "aslib/ASVariableBuffer.h"
#include "common/TextConv.h"

namespace zel {
namespace {

struct Status {
  int code;
  const char* reason;
};
constexpr Status kStatuses[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {507, "Insufficient Storage"},
    {521, "Account Disabled"},
    {522, "Wrong Registration Data"},
    {551, "No Database"},
    {552, "No Authorization Data"},
    {553, "Authorization Failed"},
    {554, "Invalid Parameter"},
    {555, "No Data"},
    {556, "Bad Data"},
    {557, "No Envelope ID"},
    {558, "Duplicate Envelope ID"},
};

constexpr const char* kMethods[] = {"OPTIONS", "GET", "HEAD", "POST", "PUT", "DELETE", "TRACE", "CONNECT"};
constexpr const char* kVersions[] = {"HTTP/1.0", "HTTP/1.1"};

bool Unreserved(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}
bool PathSafe(unsigned char c) { return Unreserved(c) || (c != 0 && std::strchr("$&+,/:;=?@'!*()", c) != nullptr); }

void Encode(std::string& out, const std::string& text, bool (*keep)(unsigned char)) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (keep(c)) {
      out.push_back(char(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trimmed(std::string s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20 && s[b] != 0) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20 && s[e - 1] != 0) --e;
  return s.substr(b, e - b);
}

bool Contains(const std::optional<std::string>& value, const char* part) {
  return value && value->find(part) != std::string::npos;
}

}  // namespace

const char* reasonPhrase(int code) {
  for (const Status& s : kStatuses)
    if (s.code == code) return s.reason;
  return "Unknown";
}

int versionId(const std::string& text) {
  for (int i = 0; i < 2; ++i)
    if (text == kVersions[i]) return i + 1;
  return 0;
}

const char* methodText(int method) { return method >= 1 && method <= 8 ? kMethods[method - 1] : ""; }

void ASHttpMessage::addHeader(const std::optional<std::string>& name, const std::optional<std::string>& value) {
  if (!name || !value) return;
  headers_.push_back(std::make_shared<httpHeader>(httpHeader{name, value}));
}

std::optional<std::string> ASHttpMessage::getHeader(const std::string& name) const {
  for (const auto& h : headers_)
    if (h->name && EqualsNoCase(*h->name, name)) return h->value;
  return std::nullopt;
}

void ASHttpMessage::analyseHeaders() {
  if (headers_.empty()) return;
  if (isRequest()) {
    auto host = getHeader("Host");
    host_ = host ? std::optional<std::string>(host->substr(0, host->find(':'))) : std::nullopt;
  }
  if (Contains(getHeader("Transfer-Encoding"), "chunked")) chunked = true;
  if (auto coding = getHeader("Content-Encoding")) {
    if (EqualsNoCase(*coding, "gzip"))
      contentEncoding = 1;
    else if (EqualsNoCase(*coding, "deflate"))
      contentEncoding = 2;
  }
  if (isRequest()) {
    auto accept = getHeader("Accept-Encoding");
    if (Contains(accept, "gzip")) acceptEncodings_ |= 1;
    if (Contains(accept, "deflate")) acceptEncodings_ |= 2;
  }
  if (auto type = getHeader("Content-Type")) contentType = type;
  if (auto length = getHeader("Content-Length")) contentLength = int32_t(std::strtol(length->c_str(), nullptr, 10));
  auto connection = getHeader("Connection");
  if (!connection)
    keepAlive = version == 2;
  else if (EqualsNoCase(*connection, "close"))
    keepAlive = false;
  else if (EqualsNoCase(*connection, "keep-alive"))
    keepAlive = true;
}

void ASHttpRequest::addContentLength(int64_t n) { addHeader(std::string("Content-Length"), std::to_string(n)); }

void ASHttpRequest::addParameter(const std::optional<std::string>& name, const std::optional<std::string>& value) {
  if (!name) return;
  std::optional<std::string> decoded;
  if (value) {
    decoded.emplace();
    for (size_t i = 0; i < value->size(); ++i) {
      int hi, lo;
      if ((*value)[i] == '%' && i + 2 < value->size() && (hi = HexValue((*value)[i + 1])) >= 0 &&
          (lo = HexValue((*value)[i + 2])) >= 0) {
        decoded->push_back(char(hi * 16 + lo));
        i += 2;
      } else {
        decoded->push_back((*value)[i]);
      }
    }
  }
  if (!parameters_) parameters_.emplace();
  parameters_->push_back(std::make_shared<requestParameter>(requestParameter{name, decoded}));
}

std::string ASHttpRequest::requestLine() const {
  std::string line = methodText(method);
  line += ' ';
  if (path)
    Encode(line, *path, PathSafe);
  else
    line += '/';
  if (parameters_) {
    line += '?';
    bool first = true;
    for (const auto& p : *parameters_) {
      if (line.size() >= 32512) break;
      if (!first) line += '&';
      first = false;
      line += p->name.value_or("");
      if (p->value) {
        line += '=';
        Encode(line, *p->value, Unreserved);
      }
    }
  }
  line += ' ';
  line += version == 1 || version == 2 ? kVersions[version - 1] : "HTTP/NONE";
  line += "\r\n";
  return line;
}

void ASHttpRequest::writeTo(ASVariableBuffer& out) const {
  std::string head = requestLine();
  for (const auto& h : headers_)
    if (h->name && h->value) head += *h->name + ": " + *h->value + "\r\n";
  head += "\r\n";
  out.append(head);
}

void CPProxyConnectRequest::addProxyHeaders() {
  addHeader(std::string("Proxy-Connection"), std::string("Keep-Alive"));
  addHeader(std::string("Content-Length"), std::string("0"));
  addHeader(std::string("User-Agent"), std::string("Mozilla/4.0"));
  addHeader(std::string("Host"), targetHost + ":" + std::to_string(targetPort));
}

bool ASHttpResponse::parseHeader(ASVariableBuffer& buffer, int64_t length) {
  if (length <= 0) return false;
  std::string head(size_t(length), '\0');
  if (buffer.read(head.data(), length) != length) return false;
  head.resize(std::strlen(head.c_str()));  // the head ends at a zero byte, as a C string would
  bool first = true;
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find_first_of("\r\n", at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    if (first) {
      first = false;
      line = Trimmed(line);
      size_t space = line.find(' ');
      if (space == std::string::npos) return false;
      size_t second = line.find(' ', space + 1);
      if (second == std::string::npos) return false;
      int code = int(std::strtol(Trimmed(line.substr(space + 1, second - space - 1)).c_str(), nullptr, 10));
      if (code <= 0) return false;
      status = code;
      version = versionId(line.substr(0, space));
      if (version == 0) return false;
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    addHeader(Trimmed(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
  }
  if (first) return false;
  analyseHeaders();
  return true;
}

ResponseResult readResponse(ASReceiver& channel, ASVariableBuffer& received, ASVariableBuffer& body) {
  ResponseResult result;
  received.reset();
  if (channel.receive(received) <= 0) return result;
  int64_t searched = 0;
  for (;;) {
    int64_t p = received.find("\r\n\r\n", std::max<int64_t>(searched - 4, 0));
    if (p >= 0) {
      auto response = std::make_shared<ASHttpResponse>();
      received.setReadPosition(0);
      if (!response->parseHeader(received, p + 4)) return result;
      result.response = response;
      result.status = response->status;
      break;
    }
    searched = received.length();
    if (channel.receive(received) <= 0) return result;
  }
  const ASHttpResponse& r = *result.response;
  std::unique_ptr<ASChunkReader> chunks = r.chunked ? std::make_unique<ASChunkReader>() : nullptr;
  std::unique_ptr<ASInflate> inflater =
      r.contentEncoding ? std::make_unique<ASInflate>(r.contentEncoding == 1 ? 1 : 2) : nullptr;
  if (!chunks && r.contentLength <= 0) {
    result.complete = true;
    return result;
  }
  int64_t remaining = r.contentLength;
  bool broken = false;  // a framing or coding error: what follows is not decoded
  char piece[65536];
  for (;;) {
    if (chunks && !broken) {
      while (received.unread() > 0) {
        const int64_t before = received.readPosition();
        int64_t left = chunks->feed(piece, received.read(piece, sizeof piece));
        if (left < 0) {
          broken = true;
          break;
        }
        if (chunks->outputCount() > 0) {
          const bool kept = inflater ? inflater->inflateInto(chunks->output(), chunks->outputCount(), &body)
                                     : body.append(chunks->output(), chunks->outputCount()) == chunks->outputCount();
          chunks->clearOutput();
          if (!kept) return result;  // corrupt, or bytes the body could not keep: never whole
        }
        received.setReadPosition(received.readPosition() - left);
        if (broken) break;
        if (chunks->state() == ASChunkReader::kFinished) {
          result.complete = !inflater || inflater->finished();
          return result;
        }
        if (received.readPosition() == before) break;  // only part of a line: wait for the rest
      }
    } else if (!chunks) {
      int64_t got;
      while ((got = received.read(piece, sizeof piece)) > 0) {
        const bool kept = inflater ? inflater->inflateInto(piece, got, &body) : body.append(piece, got) == got;
        if (!kept) return result;  // corrupt, or bytes the body could not keep: never whole
        remaining -= got;
      }
      if (remaining <= 0) {
        result.complete = !inflater || inflater->finished();  // a compressed body ends with its stream
        return result;
      }
    }
    // What has been consumed (or will never be decoded) need not be kept.
    if (received.unread() == 0 || broken) received.reset();
    if (channel.receive(received) <= 0) return result;
  }
}

}  // namespace zel
