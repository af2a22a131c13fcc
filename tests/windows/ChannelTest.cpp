// The channel on SChannel against real OpenSSL servers and the test exchange server on the Linux
// side (run-crypto-tests.sh starts them and names their ports in ZEL_WIN_PORT_*): a good server
// talks TLS 1.2, untrusted, wrongly named and expired certificates are refused with their policy
// errors, and records arrive whole however the server cuts them. Each server also sends its CA certificate, since
// Wine's chain check passes an incomplete chain.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "net/CPChannel.h"
#include "net/CPHostCache.h"

namespace zel {
namespace {

class Recorder : public LogWriter {
 public:
  explicit Recorder(std::shared_ptr<std::vector<std::string>> lines) : lines_(std::move(lines)) {}
  void writeLine(std::string_view line) override {
    std::string l(line);  // "[X] message", without the time stamp and the line end
    lines_->push_back(l.substr(0, 4) + l.substr(24, l.size() - 26));
  }

 private:
  std::shared_ptr<std::vector<std::string>> lines_;
};

uint16_t Port(const char* name) {
  const char* value = getenv(name);
  return value ? uint16_t(atoi(value)) : 0;
}

class SchannelChannel : public testing::Test {
 protected:
  void SetUp() override {
    lines = std::make_shared<std::vector<std::string>>();
    AttachLogFile(std::make_unique<Recorder>(lines));
    SetDebugLogging(true);
  }
  void TearDown() override {
    SetDebugLogging(false);
    AttachLogFile(nullptr);
  }
  bool Has(const std::string& line) const {
    for (const auto& l : *lines)
      if (l == line) return true;
    return false;
  }
  bool HasPrefix(const std::string& prefix) const {
    for (const auto& l : *lines)
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }
  std::string Joined() const {
    std::string all;
    for (const auto& l : *lines) all += l + "\n";
    return all;
  }
  uint16_t Need(const char* name) {
    uint16_t port = Port(name);
    if (port == 0) ADD_FAILURE() << name << " is not set: run this program through run-crypto-tests.sh";
    return port;
  }
  CPHostCache hosts;
  std::shared_ptr<std::vector<std::string>> lines;
};

TEST_F(SchannelChannel, AGoodServerTalksTls12UntilItCloses) {
  const uint16_t port = Need("ZEL_WIN_PORT_GOOD");
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", port, nullptr));
  ASSERT_TRUE(channel.handshake()) << Joined();
  EXPECT_TRUE(Has("[I] Successfully connected to host localhost"));
  EXPECT_TRUE(Has("[D] Certificate verification passed"));
  EXPECT_TRUE(HasPrefix("[D] Stream sizes: header ")) << Joined();
  ASVariableBuffer empty;
  EXPECT_EQ(channel.send(empty), 0) << "an empty buffer sends nothing";
  ASVariableBuffer out, in;
  out.append("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(channel.send(out), 18);
  int rounds = 0;
  while (channel.receive(in) > 0 && ++rounds < 1000) {
  }
  const std::string page = in.unreadBytes();
  EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u) << page.substr(0, 200);
  EXPECT_NE(page.find("TLSv1.2"), std::string::npos) << page;
  EXPECT_FALSE(channel.connected()) << "the server's close ends the stream";
  EXPECT_EQ(channel.receive(in), 0);
  channel.disconnect();
  EXPECT_TRUE(Has("[I] Disconnected from host localhost"));
}

TEST_F(SchannelChannel, CertificatesThatDoNotVerifyAreRefusedWithTheirPolicyErrors) {
  struct Case {
    const char* portVariable;
    const char* text;
    unsigned code;
  };
  const Case cases[] = {
      {"ZEL_WIN_PORT_WRONGNAME", "The certificate's CN name does not match the passed value.", 0x800b010f},
      {"ZEL_WIN_PORT_UNTRUSTED",
       "A certification chain processed correctly but terminated in a root certificate that is not trusted by the "
       "trust provider.",
       0x800b0109},
      {"ZEL_WIN_PORT_EXPIRED", "A required certificate is not within its validity period.", 0x800b0101},
  };
  for (const auto& c : cases) {
    lines->clear();
    const uint16_t port = Need(c.portVariable);
    CPChannel channel(&hosts);
    ASSERT_TRUE(channel.connect("localhost", port, nullptr)) << c.portVariable;
    EXPECT_FALSE(channel.handshake()) << c.portVariable;
    char code[16];
    snprintf(code, sizeof code, "0x%08x", c.code);
    EXPECT_TRUE(Has(std::string("[E] Certificate verification error: ") + c.text + " (" + code + ")"))
        << c.portVariable << "\n"
        << Joined();
    EXPECT_TRUE(Has(std::string("[E] Channel verifyServerCertificate() failed with ") + code)) << Joined();
    ASVariableBuffer data;
    data.append("secret");
    EXPECT_EQ(channel.send(data), -1) << "nothing is ever sent over an unverified channel";
    EXPECT_EQ(channel.receive(data), -1);
  }
}

TEST_F(SchannelChannel, HandshakeInSmallSegmentsTwoRecordsInOneReadAndTheCloseNotification) {
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", Need("ZEL_WIN_PORT_SPLIT"), nullptr));
  ASSERT_TRUE(channel.handshake()) << Joined();
  ASVariableBuffer out, in;
  out.append("TWO\n");
  channel.send(out);
  EXPECT_EQ(channel.receive(in), 27);
  EXPECT_EQ(in.unreadBytes(), "first record\nsecond record\n") << "both records of one read in one receive";
  out.reset();
  in.reset();
  out.append("BYE\n");
  channel.send(out);
  EXPECT_EQ(channel.receive(in), 11);
  EXPECT_EQ(in.unreadBytes(), "last words\n");
  EXPECT_FALSE(channel.connected()) << "the close notification ends the connection";
  EXPECT_EQ(channel.receive(in), 0);
}

TEST_F(SchannelChannel, AHalfReadRecordIsCompletedOrReportedWhenTheConnectionEnds) {
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", Need("ZEL_WIN_PORT_RECORDS"), nullptr));
  ASSERT_TRUE(channel.handshake()) << Joined();
  ASVariableBuffer out, in;
  out.append("SPLIT\n");
  channel.send(out);
  EXPECT_EQ(channel.receive(in), 1100);
  EXPECT_EQ(in.unreadBytes(), std::string(100, 'A') + std::string(1000, 'B'));
  out.reset();
  in.reset();
  out.append("HALF\n");
  channel.send(out);
  lines->clear();
  EXPECT_EQ(channel.receive(in), -1) << "half a record, then the end of the connection";
  EXPECT_EQ(in.length(), 0);
  EXPECT_TRUE(Has("[D] Message incomplete but no more data")) << Joined();
  EXPECT_FALSE(channel.connected());
}

TEST_F(SchannelChannel, MovesMegabytesEachWayIntactInWholeRecords) {
  SetDebugLogging(false);
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", Need("ZEL_WIN_PORT_RECORDS"), nullptr));
  ASSERT_TRUE(channel.handshake());
  constexpr int64_t kSize = 16 << 20;
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

TEST_F(SchannelChannel, TheTestExchangeServerListsAMailboxAndIsRefusedUnderAnotherNameOrCa) {
  CPChannel channel(&hosts);
  ASSERT_TRUE(channel.connect("localhost", Need("ZEL_WIN_PORT_EXCHANGE"), nullptr));
  ASSERT_TRUE(channel.handshake()) << Joined();
  ASVariableBuffer out, in;
  out.append(
      "GET /EDAP/list.php HTTP/1.1\r\nHost: localhost\r\nED-LOGIN: user1\r\nED-PASS: pw1\r\n"
      "Connection: close\r\n\r\n");
  channel.send(out);
  int rounds = 0;
  while (channel.receive(in) > 0 && ++rounds < 1000) {
  }
  const std::string answer = in.unreadBytes();
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\n\r\n13 doc.xml\n"), std::string::npos) << answer;
  channel.disconnect();

  const struct {
    const char* portVariable;
    unsigned code;
  } refused[] = {{"ZEL_WIN_PORT_EXCHANGE_WRONGNAME", 0x800b010f}, {"ZEL_WIN_PORT_EXCHANGE_UNTRUSTED", 0x800b0109}};
  for (const auto& r : refused) {
    lines->clear();
    CPChannel other(&hosts);
    ASSERT_TRUE(other.connect("localhost", Need(r.portVariable), nullptr));
    EXPECT_FALSE(other.handshake());
    char code[16];
    snprintf(code, sizeof code, "0x%08x", r.code);
    EXPECT_TRUE(Has(std::string("[E] Channel verifyServerCertificate() failed with ") + code)) << r.portVariable << "\n"
                                                                                               << Joined();
  }
}

}  // namespace
}  // namespace zel
