#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "mail/SmtpSession.h"
#include "tests/TestSupport.h"
#include "tests/mail/MailTestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

TEST(SmtpUnstuff, TakesTheFirstDotOfEveryLineThatBeginsWithOne) {
  struct Case {
    const char* name;
    std::string data, unstuffed;
  } const cases[] = {
      {"at the start", ".a\r\n..b\r\nc.d\r\n.", "a\r\n.b\r\nc.d\r\n"},
      {"a bare line feed starts no line", "x\n.y\r\n.z", "x\n.y\r\nz"},
      {"a bare carriage return starts no line", "x\r.y", "x\r.y"},
      {"nothing to take", "plain\r\ntext", "plain\r\ntext"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASVariableBuffer input;
    if (!c.data.empty()) input.append(c.data);
    input.append(std::string("\r\n.\r\nnext command"));
    auto out = Unstuff(input, int64_t(c.data.size()));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->unreadBytes(), c.unstuffed);
  }
  // Lines across the 64 KiB windows and the spill file: every CR LF "." is found.
  std::string big, expected;
  for (int i = 0; big.size() < 300000; ++i) {
    const std::string line = std::string(size_t(i % 97), 'a') + "\r\n";
    big += "." + line;
    expected += line;
  }
  ASVariableBuffer input;
  input.append(big);
  auto out = Unstuff(input, int64_t(big.size()));
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->unreadBytes() == expected);
}

// A session over a socket pair, run on its own thread, with alice's account and an outbound folder.
struct Dialogue {
  test::ScratchDir dir;
  std::unique_ptr<test::SessionPair> pair;
  std::thread thread;
  Dialogue() {
    CPConfigPaths folders;
    folders.Outbound = dir / "out";
    fs::create_directory(*folders.Outbound);
    pair = std::make_unique<test::SessionPair>(
        std::vector<std::shared_ptr<CPConfigAccount>>{test::Account("alice", "secretA", "PID-A")}, folders);
    thread = std::thread([session = std::move(pair->session)]() mutable { RunSmtpSession(std::move(session)); });
  }
  ~Dialogue() {
    pair->ClosePeer();
    thread.join();
  }
  std::string say(const std::string& bytes, int quietMs = 300) {
    pair->Send(bytes);
    return pair->Receive(quietMs);
  }
};

std::string MailOf(const std::string& doc) {
  const std::string text = CPBase64().encode(doc);
  std::string lines;
  for (size_t at = 0; at < text.size(); at += 76) lines += text.substr(at, 76) + "\r\n";
  return "Subject: EDS\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/xml\r\n"
         "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
         lines + "--b--\r\n";
}

TEST(SmtpSession, MessagesOfAnySizeAreStoredAndTheSessionGoesOn) {
  Dialogue d;
  EXPECT_EQ(d.pair->Receive(), "220 ZEL SMTP service 2.1.0444 ready\r\n");
  EXPECT_EQ(d.say("AUTH PLAIN " + CPBase64().encode(std::string("\0alice\0secretA", 14)) + "\r\n"),
            "503 5.5.1 Error: need HELO/EHLO command\r\n");
  EXPECT_EQ(d.say("HELO me\r\nEHLO lost\r\n").substr(0, 4), "250 ");  // the pipelined second is lost
  EXPECT_EQ(d.say("AUTH PLAIN " + CPBase64().encode(std::string("\0alice\0secretA", 14)) + "\r\n"),
            "235 2.7.0 Authentication successful\r\n");
  EXPECT_EQ(d.say("MAIL FROM:<a@b>\r\n"), "250 Ok\r\n");
  EXPECT_EQ(d.say("RCPT TO:<c@d>\r\n"), "250 Ok\r\n");

  // 3 MB, spilled to disk, in small writes; the stored document is the original.
  std::string doc = "<?xml version=\"1.0\"?><Envelope><RoutingInf><EnvelopeID>BIG</EnvelopeID></RoutingInf><B>";
  while (doc.size() < 3000000) doc += "line " + std::to_string(doc.size()) + "\r\n";
  doc += "</B></Envelope>";
  EXPECT_EQ(d.say("DATA\r\n"), "354 End data with <CR><LF>.<CR><LF>\r\n");
  const std::string mail = MailOf(doc) + "\r\n.\r\n";
  for (size_t at = 0; at < mail.size(); at += 1000) d.pair->Send(mail.substr(at, 1000));
  EXPECT_EQ(d.pair->Receive(2000), "250 Ok\r\n");
  EXPECT_TRUE(test::ReadFile(d.dir / "out/BIG.xml") == doc);

  // The marker straight after 354 is not one: the message goes on to the next marker.
  EXPECT_EQ(d.say("DATA\r\n"), "354 End data with <CR><LF>.<CR><LF>\r\n");
  EXPECT_EQ(d.say(".\r\n"), "");
  EXPECT_EQ(d.say("not a packet\r\n.\r\n"), "250 Ok\r\n");
  EXPECT_EQ(d.say("QUIT\r\n"), "221 2.0.0 Bye\r\n");
}

TEST(SmtpSession, AnOverlongCommandLineEndsTheSession) {
  Dialogue d;
  d.pair->Receive();
  EXPECT_EQ(d.say(std::string(70000, 'A')), "500 5.5.2 Error: line too long\r\n");
  EXPECT_EQ(d.say("QUIT\r\n"), "");
}

}  // namespace
}  // namespace zel
