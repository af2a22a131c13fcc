#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>

#include "aslib/ASHttp.h"
#include "aslib/ASVariableBuffer.h"
#include "tests/ZlibReference.h"

namespace zel {
namespace {

// Hands out scripted pieces, one per receive, then reports the end.
class ScriptedReceiver : public ASReceiver {
 public:
  explicit ScriptedReceiver(std::deque<std::string> pieces) : pieces_(std::move(pieces)) {}
  int64_t receive(ASVariableBuffer& into) override {
    if (pieces_.empty()) return 0;
    std::string piece = pieces_.front();
    pieces_.pop_front();
    into.append(piece);
    return int64_t(piece.size());
  }

 private:
  std::deque<std::string> pieces_;
};

std::deque<std::string> Pieces(const std::string& all, size_t size) {
  std::deque<std::string> pieces;
  for (size_t at = 0; at < all.size(); at += size) pieces.push_back(all.substr(at, size));
  return pieces;
}

ResponseResult Read(const std::deque<std::string>& pieces, std::string* body) {
  ScriptedReceiver receiver(pieces);
  ASVariableBuffer received, out;
  ResponseResult r = readResponse(receiver, received, out);
  *body = out.unreadBytes();
  return r;
}

std::string Chunked(const std::string& body, size_t chunk) {
  std::string out;
  for (size_t at = 0; at < body.size(); at += chunk) {
    std::string part = body.substr(at, chunk);
    char line[32];
    snprintf(line, sizeof line, "%zx\r\n", part.size());
    out += line + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

TEST(HttpRequest, RequestLineEncodesPathAndParameters) {
  ASHttpRequest r;
  r.method = kGet;
  r.version = 2;
  r.path = "/EDAP/a b/list.php";
  EXPECT_EQ(r.requestLine(), "GET /EDAP/a%20b/list.php HTTP/1.1\r\n");
  r.addParameter(std::string("name"), std::string("a%2Fb c"));
  r.addParameter(std::string("flag"), std::nullopt);
  r.addParameter(std::string("ru"), std::string("Ж~x"));
  r.addParameter(std::nullopt, std::string("skipped"));
  EXPECT_EQ(r.requestLine(), "GET /EDAP/a%20b/list.php?name=a%2Fb%20c&flag&ru=%D0%96~x HTTP/1.1\r\n");
  ASHttpRequest empty;
  empty.method = kPost;
  empty.version = 7;
  empty.addParameter(std::string("x"), std::string("1"));
  empty.clearParameters();
  EXPECT_EQ(empty.requestLine(), "POST / HTTP/NONE\r\n");
  ASHttpRequest listOnly;
  listOnly.method = kGet;
  listOnly.version = 1;
  listOnly.path = "/p";
  listOnly.addParameter(std::string("a"), std::string("%zz%4"));
  EXPECT_EQ(listOnly.requestLine(), "GET /p?a=%25zz%254 HTTP/1.0\r\n") << "a bad escape is kept as it was";
  std::string longValue(40000, 'v');
  ASHttpRequest big;
  big.method = kGet;
  big.version = 2;
  big.addParameter(std::string("a"), longValue);
  big.addParameter(std::string("b"), std::string("never"));
  EXPECT_EQ(big.requestLine().find("&b="), std::string::npos) << "parameters stop at 32512 bytes";
}

TEST(HttpRequest, HeadAndAnalysis) {
  ASHttpRequest r;
  r.method = kPost;
  r.version = 2;
  r.path = "/send.php";
  r.addHeader(std::string("Host"), std::string("edh.example:443"));
  r.addHeader(std::string("Accept-Encoding"), std::string("gzip, deflate"));
  r.addHeader(std::string("X-Absent"), std::nullopt);
  r.addContentLength(12);
  r.analyseHeaders();
  EXPECT_EQ(r.host(), "edh.example");
  EXPECT_EQ(r.acceptEncodings(), 3);
  EXPECT_EQ(r.contentLength, 12);
  EXPECT_TRUE(r.keepAlive) << "HTTP/1.1 without Connection";
  ASVariableBuffer out;
  r.writeTo(out);
  EXPECT_EQ(out.unreadBytes(),
            "POST /send.php HTTP/1.1\r\nHost: edh.example:443\r\nAccept-Encoding: gzip, deflate\r\n"
            "Content-Length: 12\r\n\r\n");
  CPProxyConnectRequest c("edh.example", 443);
  c.addProxyHeaders();
  EXPECT_EQ(c.getHeader("host"), "edh.example:443");
  EXPECT_EQ(c.headers().size(), 4u);
}

TEST(HttpResponse, ParseHeaderCases) {
  struct Case {
    std::string head;
    bool ok;
    int status;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", true, 200},
      {"HTTP/1.0 200 Connection established\r\n\r\n", true, 200},
      {"HTTP/1.1 200\r\n\r\n", false, 0},
      {"HTTP/2 200 OK\r\n\r\n", false, 200},
      {"http/1.1 200 OK\r\n\r\n", false, 200},
      {"HTTP/1.1 0 Zero\r\n\r\n", false, 0},
      {"HTTP/1.1 abc Text\r\n\r\n", false, 0},
      {"\r\n\r\n", false, 0},
      // Beyond 32 bits a status never wraps into a success.
      {"HTTP/1.1 4294967496 OK\r\n\r\n", false, 0},
      {"HTTP/1.1 99999999999999999999 OK\r\n\r\n", false, 0},
      {"HTTP/1.1 2147483647 Big\r\n\r\n", true, 2147483647},
  };
  for (const auto& c : cases) {
    ASVariableBuffer b;
    b.append(c.head);
    ASHttpResponse r;
    EXPECT_EQ(r.parseHeader(b, int64_t(c.head.size())), c.ok) << c.head;
    EXPECT_EQ(r.status, c.status) << c.head;
  }
  ASVariableBuffer b;
  const std::string head =
      "HTTP/1.0 558 Duplicate\r\ncontent-length: 17xyz\r\nno colon line\r\nConnection: Keep-Alive\r\n"
      "Content-Encoding: GZIP\r\nX-Empty:\r\n\r\n";
  b.append(head);
  ASHttpResponse r;
  ASSERT_TRUE(r.parseHeader(b, int64_t(head.size())));
  EXPECT_EQ(r.getHeader("Content-Length"), "17xyz");
  EXPECT_EQ(r.contentLength, 17);
  EXPECT_TRUE(r.keepAlive);
  EXPECT_EQ(r.contentEncoding, 1);
  EXPECT_EQ(r.getHeader("X-Empty"), "");
  EXPECT_FALSE(r.parseHeader(b, 10)) << "fewer bytes than asked";
  for (auto [head2, keep] : {std::pair{"HTTP/1.1 200 OK\r\n\r\n", true},
                             {"HTTP/1.0 200 OK\r\n\r\n", false},
                             {"HTTP/1.1 200 OK\r\nConnection: upgrade\r\n\r\n", false}}) {
    ASVariableBuffer h;
    h.append(head2);
    ASHttpResponse x;
    x.addHeader(std::string("seed"), std::string("1"));  // analysis runs only with headers present
    ASSERT_TRUE(x.parseHeader(h, int64_t(strlen(head2))));
    EXPECT_EQ(x.keepAlive, keep) << head2;
  }
  EXPECT_STREQ(reasonPhrase(599), "Unknown");
  EXPECT_STREQ(reasonPhrase(558), "Duplicate Envelope ID");
  EXPECT_STREQ(reasonPhrase(502), "Bad Gateway");
}

TEST(ReadResponse, HeadsSplitAnywhereAndEveryFraming) {
  const std::string body(100000, 'b');
  const std::string lengthResponse = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body;
  for (size_t piece : {1u, 2u, 3u, 7u, 40u, 41u, 42u, 43u, 4096u, 1u << 20}) {
    std::string got;
    ResponseResult r = Read(Pieces(lengthResponse, piece), &got);
    EXPECT_EQ(r.status, 200) << piece;
    EXPECT_TRUE(r.complete) << piece;
    EXPECT_EQ(got, body) << piece;
  }
  const std::string doc = std::string(300000, 'd') + "end";
  for (size_t chunk : {1u, 5u, 4096u, 65536u, 70000u}) {
    const std::string response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(doc, chunk);
    for (size_t piece : {3u, 1000u, 65537u}) {
      if (chunk == 1 && piece == 3) continue;  // 300000 one-byte chunks three bytes at a time: slow, nothing new
      std::string got;
      ResponseResult r = Read(Pieces(response, piece), &got);
      EXPECT_TRUE(r.complete) << chunk << "/" << piece;
      EXPECT_EQ(got, doc) << chunk << "/" << piece;
    }
  }
}

TEST(ReadResponse, GzipAndDeflateBodies) {
  const std::string doc = std::string(200000, 'g') + "tail";
  struct Case {
    const char* coding;
    int bits;
    bool chunked;
  };
  for (const Case& c :
       {Case{"gzip", 31, false}, Case{"gzip", 31, true}, Case{"deflate", 15, false}, Case{"deflate", 15, true}}) {
    const std::string packed = test::ZlibCompress(doc, c.bits);
    std::string response = std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") + c.coding + "\r\n";
    response += c.chunked ? "Transfer-Encoding: chunked\r\n\r\n" + Chunked(packed, 777)
                          : "Content-Length: " + std::to_string(packed.size()) + "\r\n\r\n" + packed;
    std::string got;
    ResponseResult r = Read(Pieces(response, 1000), &got);
    EXPECT_TRUE(r.complete) << c.coding << c.chunked;
    EXPECT_EQ(got, doc) << c.coding << c.chunked;
  }
}

TEST(ReadResponse, ShortBodiesEmptyBodiesAndFailures) {
  std::string got;
  ResponseResult early = Read({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}, &got);
  EXPECT_EQ(early.status, 200);
  EXPECT_FALSE(early.complete) << "a body that ends early";
  EXPECT_EQ(got, "abc");
  ResponseResult cut = Read({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"}, &got);
  EXPECT_FALSE(cut.complete);
  ResponseResult noContent = Read({"HTTP/1.1 204 No Content\r\n\r\n"}, &got);
  EXPECT_EQ(noContent.status, 204);
  EXPECT_TRUE(noContent.complete);
  EXPECT_EQ(got, "");
  ResponseResult broken =
      Read({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZZZZZZZZZZZZZZZZZZZ\r\n", "x"}, &got);
  EXPECT_EQ(broken.status, 200);
  EXPECT_FALSE(broken.complete);
  EXPECT_EQ(Read({}, &got).status, -1) << "nothing came";
  EXPECT_EQ(Read({"HTTP/1.1 200 OK\r\n"}, &got).status, -1) << "closed before the end of the head";
  EXPECT_EQ(Read({"HTTP/1.1 200\r\n\r\n"}, &got).status, -1) << "a head that does not parse";
}

TEST(ReadResponse, ContentLengthsBeyond32BitsAreBroken) {
  struct Case {
    const char* length;
    int status;
  };
  // 3000000000 once became negative (an empty, complete body) and 4294967306 became 10.
  for (const Case& c : {Case{"3000000000", -1}, Case{"4294967306", -1}, Case{"-2147483649", -1},
                        Case{"99999999999999999999999", -1}, Case{"10", 200}}) {
    std::string got;
    ResponseResult r =
        Read({std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + c.length + "\r\n\r\n0123456789"}, &got);
    EXPECT_EQ(r.status, c.status) << c.length;
    EXPECT_EQ(r.complete, c.status == 200) << c.length;
  }
}

TEST(ReadResponse, BodiesAreBoundedAndCanBeTakenAsTheyArrive) {
  BodyOptions bounded;
  bounded.limit = 1 << 20;
  auto read = [&](const std::string& response, const BodyOptions& options) {
    ScriptedReceiver receiver(Pieces(response, 1000));
    ASVariableBuffer received, out;
    ResponseResult r = readResponse(receiver, received, out, options);
    EXPECT_EQ(r.decoded, out.length()) << "without a drain the body holds every decoded byte";
    return r;
  };
  // A gzip bomb: 32 MiB of zeros from some 32 KiB stops once past the bound.
  const std::string bomb = test::ZlibCompress(std::string(32 << 20, '\0'), 31);
  for (bool chunked : {false, true}) {
    std::string response = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n";
    response += chunked ? "Transfer-Encoding: chunked\r\n\r\n" + Chunked(bomb, 100)
                        : "Content-Length: " + std::to_string(bomb.size()) + "\r\n\r\n" + bomb;
    ResponseResult r = read(response, bounded);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.tooLarge) << chunked;
    EXPECT_FALSE(r.complete) << chunked;
    EXPECT_LT(r.decoded, 4 << 20) << "stopped soon after the bound";
  }
  // Announced beyond the bound: given up before any of it is read.
  for (const std::string& response :
       {std::string("HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\nxyz"),
        std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffff\r\nxyz")}) {
    ResponseResult r = read(response, bounded);
    EXPECT_TRUE(r.tooLarge) << response;
    EXPECT_LE(r.decoded, 3) << response;
  }
  // A drain takes every piece as it comes; returning false ends the reading.
  const std::string doc(300000, 'd');
  int64_t drained = 0;
  BodyOptions streamed;
  streamed.drain = [&](ASVariableBuffer& body) {
    drained += body.length();
    body.reset();
    return drained < 200000;
  };
  for (bool chunked : {false, true}) {
    drained = 0;
    ScriptedReceiver receiver(Pieces(chunked
                                         ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(doc, 10000)
                                         : "HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + doc,
                                     1000));
    ASVariableBuffer received, out;
    ResponseResult r = readResponse(receiver, received, out, streamed);
    EXPECT_FALSE(r.complete) << chunked;
    EXPECT_GE(drained, 200000) << chunked;
    EXPECT_LT(drained, 300000) << chunked;
    EXPECT_EQ(r.decoded, drained) << chunked;
  }
}

// Hands out an endless head ("a:" lines, never a blank line) and counts what it gave.
class EndlessHead : public ASReceiver {
 public:
  int64_t receive(ASVariableBuffer& into) override {
    if (given >= (int64_t(100) << 20)) return 0;
    const std::string piece = given == 0 ? "HTTP/1.1 200 OK\r\n" : std::string(4095, 'a') + "\n";
    into.append(piece);
    given += int64_t(piece.size());
    return int64_t(piece.size());
  }
  int64_t given = 0;
};

TEST(ReadResponse, HeadsAreBoundedAt64KiB) {
  EndlessHead endless;
  ASVariableBuffer received, body;
  EXPECT_EQ(readResponse(endless, received, body).status, -1);
  EXPECT_LT(endless.given, kMaxResponseHead + 8192) << "the connection is given up once the bound is passed";
  // The bound counts the blank line: a head of exactly 64 KiB is taken, one byte more is not.
  const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
  for (int64_t extra : {0, 1}) {
    std::string head = start + std::string(size_t(kMaxResponseHead) - start.size() - 4 + size_t(extra), 'p');
    head += "\r\n\r\n";
    std::string got;
    EXPECT_EQ(Read(Pieces(head, 1000), &got).status, extra ? -1 : 200) << extra;
  }
}

}  // namespace
}  // namespace zel
