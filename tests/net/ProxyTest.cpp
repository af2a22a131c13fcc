#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "net/CPChannel.h"
#include "net/CPHostCache.h"
#include "tests/net/NetTestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A folder the proxies' unprivileged users can read.
class OpenDir {
 public:
  OpenDir() {
    char pattern[] = "/tmp/zelproxy.XXXXXX";
    path_ = mkdtemp(pattern);
    fs::permissions(path_, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
  }
  ~OpenDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WaitForPort(uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class Proxy : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SSL_CERT_FILE", test::Pki("ca.pem").c_str(), 1);
    lines = test::LogRecorder::Install();
  }
  void TearDown() override { AttachLogFile(nullptr); }

  CPConfigProxy Settings(uint16_t port, int scheme, std::optional<std::string> login,
                         std::optional<std::string> password) {
    CPConfigProxy p;
    p.enabled = true;
    p.host = "127.0.0.1";
    p.port = port;
    p.auth = scheme > 0;
    p.ad = scheme == 2;
    p.login = login;
    if (password) p.plainPassword = SecretString(*password);
    return p;
  }
  // Through the proxy to our TLS server: handshake and one exchange.
  bool Through(const CPConfigProxy& proxy) {
    CPChannel channel(&hosts);
    if (!channel.connect("localhost", tls.port(), &proxy)) return false;
    if (!channel.handshake()) return false;
    ASVariableBuffer out, in;
    out.append("PUT 3\nabc");
    channel.send(out);
    while (in.find("\n", 0) < 0 && channel.receive(in) > 0) {
    }
    return in.unreadBytes().rfind("GOT 3 ", 0) == 0;
  }
  std::string Failure(uint16_t port) { return "[E] Cannot connect via proxy 127.0.0.1:" + std::to_string(port); }

  test::TlsServer tls{"good"};
  CPHostCache hosts;
  std::shared_ptr<std::vector<std::string>> lines;
};

TEST_F(Proxy, TinyproxyWithBasicAuth) {
  if (!fs::exists("/usr/bin/tinyproxy")) GTEST_SKIP() << "tinyproxy is not installed";
  OpenDir dir;
  const uint16_t port = test::ClosedPort();
  test::WriteFile(dir / "tinyproxy.conf", "User nobody\nGroup nogroup\nPort " + std::to_string(port) +
                                              "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Critical\n"
                                              "BasicAuth zel s3cret\n");
  test::ChildProcess proxy({"/usr/bin/tinyproxy", "-d", "-c", dir / "tinyproxy.conf"}, {}, dir / "out.txt");
  ASSERT_TRUE(WaitForPort(port)) << proxy.output();
  EXPECT_TRUE(Through(Settings(port, 1, "zel", "s3cret"))) << test::Joined(*lines);
  lines->clear();
  EXPECT_FALSE(Through(Settings(port, 1, "zel", "wrong")));
  EXPECT_TRUE(test::HasLine(*lines, "[E] Authorization failed for proxy 127.0.0.1")) << test::Joined(*lines);
  EXPECT_TRUE(test::HasLine(*lines, Failure(port)));
}

TEST_F(Proxy, SquidWithBasicAuthAnswers407) {
  if (!fs::exists("/usr/sbin/squid")) GTEST_SKIP() << "squid is not installed";
  OpenDir dir;
  const uint16_t port = test::ClosedPort();
  test::ChildProcess htpasswd({"/usr/bin/htpasswd", "-bc", dir / "passwd", "zel", "s3cret"}, {}, dir / "h.txt");
  ASSERT_EQ(htpasswd.wait(), 0) << htpasswd.output();
  fs::permissions(dir / "passwd", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  test::WriteFile(dir / "squid.conf",
                  "http_port 127.0.0.1:" + std::to_string(port) +
                      "\nauth_param basic program /usr/lib/squid/basic_ncsa_auth " + (dir / "passwd") +
                      "\nauth_param basic realm zel\nacl authed proxy_auth REQUIRED\nhttp_access allow authed\n"
                      "http_access deny all\ncache deny all\naccess_log none\ncache_log " +
                      (dir / "cache.log") + "\npid_filename " + (dir / "squid.pid") + "\ncoredump_dir " + (dir / "") +
                      "\nshutdown_lifetime 0 seconds\n");
  test::ChildProcess squid({"/usr/sbin/squid", "-N", "-f", dir / "squid.conf"}, {}, dir / "out.txt");
  ASSERT_TRUE(WaitForPort(port)) << squid.output() << test::ReadFile(dir / "cache.log");
  EXPECT_TRUE(Through(Settings(port, 1, "zel", "s3cret"))) << test::Joined(*lines) << test::ReadFile(dir / "cache.log");
  lines->clear();
  EXPECT_FALSE(Through(Settings(port, 1, "zel", "wrong")));
  EXPECT_TRUE(test::HasLine(*lines, "[E] Authorization failed for proxy 127.0.0.1")) << test::Joined(*lines);
  EXPECT_TRUE(test::HasLine(*lines, Failure(port)));
  squid.signal(SIGTERM);
  squid.wait(10s);
}

// A proxy that records the request and answers with a fixed text.
class ScriptedProxy {
 public:
  explicit ScriptedProxy(std::string answer)
      : listener_([this, answer](int fd) {
          std::string head;
          char c;
          while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head.push_back(c);
          requests.push_back(head);
          send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }) {}
  uint16_t port() const { return listener_.port(); }
  std::vector<std::string> requests;

 private:
  test::TcpListener listener_;
};

TEST_F(Proxy, RequestBytesAndTheAnswersThatFail) {
  {
    ScriptedProxy proxy("HTTP/1.0 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(Through(Settings(proxy.port(), 1, "user", "")));
    ASSERT_EQ(proxy.requests.size(), 1u);
    const std::string target = "localhost:" + std::to_string(tls.port());
    EXPECT_EQ(proxy.requests[0],
              "CONNECT " + target +
                  " HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjo=\r\nProxy-Connection: Keep-Alive\r\n"
                  "Content-Length: 0\r\nUser-Agent: Mozilla/4.0\r\nHost: " +
                  target + "\r\n\r\n")
        << "an empty password still sends login and colon";
    EXPECT_TRUE(test::HasLine(*lines, "[E] Proxy server said 502 Bad Gateway")) << test::Joined(*lines);
    EXPECT_TRUE(test::HasLine(*lines, Failure(proxy.port())));
  }
  lines->clear();
  {
    ScriptedProxy proxy("HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_FALSE(Through(Settings(proxy.port(), 1, "user", std::nullopt)));
    EXPECT_TRUE(proxy.requests.empty()) << "no request without a password";
    EXPECT_TRUE(test::HasLine(*lines, "[E] No login or bad password for proxy 127.0.0.1"));
  }
  lines->clear();
  {
    ScriptedProxy proxy("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n\r\n");
    EXPECT_FALSE(Through(Settings(proxy.port(), 1, "user", "pw")));
    EXPECT_EQ(proxy.requests.size(), 1u) << "Basic is never retried";
    EXPECT_TRUE(test::HasLine(*lines, "[E] Authorization failed for proxy 127.0.0.1"));
  }
  lines->clear();
  {
    ScriptedProxy proxy("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n\r\n");
    test::ScratchDir users;
    test::WriteFile(users / "users", "ZEL:alice:wonder\n");
    setenv("NTLM_USER_FILE", (users / "users").c_str(), 1);
    setenv("NTLMUSER", "alice", 1);
    EXPECT_FALSE(Through(Settings(proxy.port(), 2, std::nullopt, std::nullopt)));
    EXPECT_TRUE(test::HasLine(*lines, "[E] AD negotiation failed for proxy 127.0.0.1")) << test::Joined(*lines);
  }
  lines->clear();
  {
    ScriptedProxy proxy("garbage\r\n\r\n");
    EXPECT_FALSE(Through(Settings(proxy.port(), 0, std::nullopt, std::nullopt)));
    EXPECT_TRUE(test::HasLine(*lines, "[E] Cannot parse proxy headers"));
  }
  lines->clear();
  {
    // A whole, well-formed 200 answer whose head is beyond the bound is refused all the same.
    std::string head = "HTTP/1.0 200 Connection established\r\n";
    while (head.size() < 100000) head += "X-Filler: yes\r\n";
    ScriptedProxy proxy(head + "\r\n");
    EXPECT_FALSE(Through(Settings(proxy.port(), 0, std::nullopt, std::nullopt)));
    EXPECT_TRUE(test::HasLine(*lines, "[E] Proxy 127.0.0.1:" + std::to_string(proxy.port()) +
                                          " answered with a head longer than 65536 bytes"))
        << test::Joined(*lines);
  }
}

class NtlmProxy : public Proxy {
 protected:
  struct Running {
    test::ScratchDir dir;
    std::unique_ptr<test::ChildProcess> process;
    uint16_t port = 0;
  };
  std::unique_ptr<Running> Start(bool second407) {
    auto r = std::make_unique<Running>();
    test::WriteFile(r->dir / "server-users", "ZEL:alice:wonder\n");
    std::vector<std::string> argv = {std::string(ZEL_BINARY_DIR) + "/testing/ntlm_proxy", "--port-file",
                                     r->dir / "port"};
    if (second407) argv.push_back("--second-407");
    r->process = std::make_unique<test::ChildProcess>(
        argv, std::vector<std::string>{"NTLM_USER_FILE=" + (r->dir / "server-users")}, r->dir / "out.txt");
    for (int i = 0; i < 500 && test::ReadFile(r->dir / "port").empty(); ++i) std::this_thread::sleep_for(10ms);
    r->port = uint16_t(std::atoi(test::ReadFile(r->dir / "port").c_str()));
    return r;
  }
  void ClientUser(const std::string& password) {
    test::WriteFile(users / "client-users", "ZEL:alice:" + password + "\n");
    setenv("NTLM_USER_FILE", (users / "client-users").c_str(), 1);
    setenv("NTLMUSER", "alice", 1);
  }
  test::ScratchDir users;
};

TEST_F(NtlmProxy, NegotiateChallengeAuthenticateThenTls) {
  auto proxy = Start(false);
  ClientUser("wonder");
  SetDebugLogging(true);
  EXPECT_TRUE(Through(Settings(proxy->port, 2, std::nullopt, std::nullopt))) << test::Joined(*lines);
  SetDebugLogging(false);
  EXPECT_TRUE(test::HasLine(*lines, "[D] Connected via proxy 127.0.0.1:" + std::to_string(proxy->port)));
}

TEST_F(NtlmProxy, AWrongPasswordOrASecond407Fails) {
  for (bool second407 : {false, true}) {
    lines->clear();
    auto proxy = Start(second407);
    ClientUser(second407 ? "wonder" : "not-the-password");
    EXPECT_FALSE(Through(Settings(proxy->port, 2, std::nullopt, std::nullopt))) << second407;
    EXPECT_TRUE(test::HasLine(*lines, "[E] Authorization failed for proxy 127.0.0.1")) << test::Joined(*lines);
    EXPECT_TRUE(test::HasLine(*lines, Failure(proxy->port)));
  }
}

}  // namespace
}  // namespace zel
