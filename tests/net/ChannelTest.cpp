#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include "aslib/ASVariableBuffer.h"
#include "net/CPChannel.h"
#include "net/CPHostCache.h"
#include "tests/net/NetTestSupport.h"

namespace zel {
namespace {

class Channel : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SSL_CERT_FILE", test::Pki("ca.pem").c_str(), 1);
    lines = test::LogRecorder::Install();
    SetDebugLogging(true);
  }
  void TearDown() override {
    SetDebugLogging(false);
    AttachLogFile(nullptr);
  }
  // Sends `text` and gathers what comes back until `until` has arrived (or the peer stops).
  std::string Exchange(CPChannel& channel, const std::string& text, size_t until) {
    ASVariableBuffer out, in;
    out.append(text);
    EXPECT_EQ(channel.send(out), int64_t(text.size()));
    while (in.length() < int64_t(until))
      if (channel.receive(in) <= 0) break;
    return in.unreadBytes();
  }
  CPHostCache hosts;
  std::shared_ptr<std::vector<std::string>> lines;
};

TEST_F(Channel, ConnectsToAGoodCertificateAndTalks) {
  test::OpensslServer server("good");
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", server.port(), nullptr));
  ASSERT_TRUE(channel.handshake()) << test::Joined(*lines);
  std::string answer = Exchange(channel, "GET / HTTP/1.0\r\n\r\n", 1 << 20);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 ok", 0), 0u) << answer.substr(0, 100);
  EXPECT_TRUE(test::HasLine(*lines, "[I] Successfully connected to host localhost"));
  EXPECT_TRUE(test::HasLine(*lines, "[D] Certificate verification passed"));
  ASVariableBuffer empty;
  EXPECT_EQ(channel.send(empty), 0) << "an empty buffer sends nothing";
  channel.disconnect();
  EXPECT_TRUE(test::HasLine(*lines, "[I] Disconnected from host localhost"));
}

TEST_F(Channel, ASecondConnectionToTheSameServerResumesItsSession) {
  test::OpensslServer server("good");
  for (int round = 0; round < 3; ++round) {
    lines->clear();
    CPChannel channel(&hosts);
    ASSERT_TRUE(channel.connect("localhost", server.port(), nullptr));
    ASSERT_TRUE(channel.handshake()) << test::Joined(*lines);
    EXPECT_EQ(channel.resumed(), round > 0) << "round " << round;
    EXPECT_EQ(test::HasLine(*lines, "[D] TLS session resumed"), round > 0);
    EXPECT_TRUE(test::HasLine(*lines, "[D] Certificate verification passed"));
    std::string answer = Exchange(channel, "GET / HTTP/1.0\r\n\r\n", 1 << 20);
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 ok", 0), 0u) << answer.substr(0, 100);
    channel.disconnect();
  }
  // A server whose certificate does not verify leaves nothing to resume, however often it is tried.
  test::OpensslServer untrusted("untrusted");
  for (int round = 0; round < 2; ++round) {
    CPChannel channel(&hosts);
    ASSERT_TRUE(channel.connect("localhost", untrusted.port(), nullptr));
    EXPECT_FALSE(channel.handshake());
    EXPECT_FALSE(channel.resumed());
  }
  // Another port is another server: nothing to resume there.
  test::OpensslServer other("good");
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", other.port(), nullptr));
  ASSERT_TRUE(channel.handshake());
  EXPECT_FALSE(channel.resumed());
}

TEST_F(Channel, CertificatesThatDoNotVerifyFailWithTheirTexts) {
  struct Case {
    const char* cert;
    const char* host;
    const char* text;
    unsigned code;
  };
  const Case cases[] = {
      {"wrongname", "localhost", "The certificate's CN name does not match the passed value.", 0x800b010f},
      {"wrongname", "127.0.0.1", "The certificate's CN name does not match the passed value.", 0x800b010f},
      {"expired", "localhost", "A required certificate is not within its validity period.", 0x800b0101},
      {"selfsigned", "localhost",
       "A certification chain processed correctly but terminated in a root certificate that is not trusted by the "
       "trust provider.",
       0x800b0109},
      {"untrusted", "localhost",
       "A certification chain processed correctly but terminated in a root certificate that is not trusted by the "
       "trust provider.",
       0x800b0109},
  };
  for (const auto& c : cases) {
    lines->clear();
    test::OpensslServer server(c.cert);
    CPChannel channel(&hosts);
    ASSERT_TRUE(channel.connect(c.host, server.port(), nullptr)) << c.cert;
    EXPECT_FALSE(channel.handshake()) << c.cert;
    char code[16];
    snprintf(code, sizeof code, "0x%08x", c.code);
    EXPECT_TRUE(test::HasLine(*lines, std::string("[E] Certificate verification error: ") + c.text + " (" + code + ")"))
        << c.cert << "\n"
        << test::Joined(*lines);
    EXPECT_TRUE(test::HasLine(*lines, std::string("[E] Channel verifyServerCertificate() failed with ") + code));
    ASVariableBuffer data;
    data.append("secret");
    EXPECT_EQ(channel.send(data), -1) << "nothing is ever sent over an unverified channel";
  }
}

TEST_F(Channel, MovesHundredMegabytesEachWayIntact) {
  SetDebugLogging(false);
  test::TlsServer server("good");
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", server.port(), nullptr));
  ASSERT_TRUE(channel.handshake());
  constexpr int64_t kSize = 100 << 20;
  // Up: PUT with a pattern; the server answers with its length and CRC.
  ASVariableBuffer up;
  up.append("PUT " + std::to_string(kSize) + "\n");
  std::string block(1 << 20, '\0');
  uLong crc = crc32(0, nullptr, 0);
  for (int64_t at = 0; at < kSize; at += int64_t(block.size())) {
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((at + int64_t(i)) * 13 >> 3);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), uInt(block.size()));
    up.append(block);
  }
  EXPECT_EQ(channel.send(up), up.length());
  ASVariableBuffer answer;
  while (answer.find("\n", 0) < 0 && channel.receive(answer) > 0) {
  }
  EXPECT_EQ(answer.unreadBytes(), "GOT " + std::to_string(kSize) + " " + std::to_string(crc) + "\n");
  // Down: GET, checked byte by byte as it arrives.
  ASVariableBuffer down;
  down.append("GET " + std::to_string(kSize) + "\n");
  channel.send(down);
  ASVariableBuffer in;
  int64_t checked = 0, bad = 0;
  while (checked < kSize) {
    in.reset();
    if (channel.receive(in) <= 0) break;
    std::string piece = in.unreadBytes();
    for (char c : piece) bad += c != char((checked++ * 7 + 3) & 0xFF);
  }
  EXPECT_EQ(checked, kSize);
  EXPECT_EQ(bad, 0);
}

TEST_F(Channel, HandshakeInSmallSegmentsTwoRecordsInOneWriteAndCloseNotify) {
  test::TlsServer server("good", /*split=*/true);
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", server.port(), nullptr));
  ASSERT_TRUE(channel.handshake()) << test::Joined(*lines);
  ASVariableBuffer out, in;
  out.append("TWO\n");
  channel.send(out);
  int64_t got = channel.receive(in);
  EXPECT_EQ(in.unreadBytes(), "first record\nsecond record\n") << "both records of one read in one receive";
  EXPECT_EQ(got, 27);
  out.reset();
  out.append("BYE\n");
  in.reset();
  channel.send(out);
  EXPECT_EQ(channel.receive(in), 11);
  EXPECT_EQ(in.unreadBytes(), "last words\n");
  EXPECT_FALSE(channel.connected()) << "the close notification ends the connection";
  EXPECT_EQ(channel.receive(in), 0);
}

TEST_F(Channel, ARecordSplitAcrossReadsCompletesInOneReceive) {
  // A proxy-like relay in front of the TLS server that forwards the server's bytes 100 at a time.
  test::TlsServer server("good");
  test::TcpListener relay([&](int client) {
    int upstream = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(server.port());
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(upstream, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
    std::thread up([&] {
      char b[65536];
      ssize_t n;
      while ((n = recv(client, b, sizeof b, 0)) > 0) send(upstream, b, size_t(n), MSG_NOSIGNAL);
      shutdown(upstream, SHUT_WR);
    });
    char b[100];
    ssize_t n;
    while ((n = recv(upstream, b, sizeof b, 0)) > 0) {
      send(client, b, size_t(n), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    shutdown(client, SHUT_WR);
    up.join();
    close(upstream);
  });
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", relay.port(), nullptr));
  ASSERT_TRUE(channel.handshake());
  ASVariableBuffer out, in;
  out.append("GET 5000\n");
  channel.send(out);
  // The server writes the 5000 bytes as one record, which reaches us in pieces of 100 bytes: one
  // receive reads until the record is whole.
  EXPECT_EQ(channel.receive(in), 5000);
  EXPECT_EQ(in.length(), 5000);
  channel.disconnect();
}

TEST_F(Channel, AHalfReadRecordIsCompletedInTheSameReceiveOrReportedWhenTheConnectionEnds) {
  test::TlsServer server("good");
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", server.port(), nullptr));
  ASSERT_TRUE(channel.handshake());
  ASVariableBuffer out, in;
  out.append("SPLIT\n");
  channel.send(out);
  // One read brings a whole record and half of the next; the same call waits for the rest.
  EXPECT_EQ(channel.receive(in), 1100);
  EXPECT_EQ(in.unreadBytes(), std::string(100, 'A') + std::string(1000, 'B'));
  out.reset();
  in.reset();
  out.append("HALF\n");
  channel.send(out);
  lines->clear();
  EXPECT_EQ(channel.receive(in), -1) << "half a record, then the end of the connection";
  EXPECT_EQ(in.length(), 0);
  EXPECT_TRUE(test::HasLine(*lines, "[D] Message incomplete but no more data")) << test::Joined(*lines);
  EXPECT_FALSE(channel.connected());
}

}  // namespace
}  // namespace zel
