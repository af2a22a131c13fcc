// The POP3 service of zel as a real process, against a raw client (every reply byte for byte) and
// against real mail clients: Python's poplib with its email package, curl and fetchmail.
#include <gtest/gtest.h>

#include "tests/mail/MailWorld.h"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::MailWorld;
using test::RawClient;

constexpr const char* kFrom = "customs@mail.example.ru";  // from smtp://Mail.Example.RU/Customs
constexpr const char* kTo = "alice@broker.example";

// The size LIST and STAT announce: the composed text without the document, and the body estimate.
int64_t AnnouncedSize(const std::string& name, int64_t fileSize) {
  const std::string b(51, 'b');
  const std::string text =
      std::string("From: <") + kFrom + ">\r\nTo: <" + kTo + ">\r\nSubject: EDS\r\nDate: " + std::string(31, 'd') +
      "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\n\tboundary=\"" + b + "\"\r\n\r\n--" + b +
      "\r\nContent-Transfer-Encoding: 7bit\r\nContent-Type: text/plain;\n\tcharset=\"utf-8\"\r\n\r\n--" + b +
      "\r\nContent-Type: application/xml;\n\tname=\"" + name + "\"\r\nContent-Disposition: attachment;\n\tfilename=\"" +
      name + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n\r\n\r\n--" + b + "--\r\n";
  const int64_t n = (4 * fileSize + 2) / 3;
  return int64_t(text.size()) + n + 2 * (n / 76);
}

TEST(Pop3Service, EveryReplyByteForByte) {
  MailWorld world;
  const std::string first = test::Document("ENV-1"), second = test::Document("ENV:2", std::string(5000, 'x'));
  world.Put("in/Alice", "first.xml", first);
  world.Put("in/Alice", "broken.xml", "this is not XML");
  world.Put("in/Alice", "second.xml", second);
  world.Put("in/Alice", "nomail.xml", test::Document("ENV-3", "", "no address here"));
  auto zel = world.Start();
  const int64_t s1 = AnnouncedSize("first.xml", int64_t(first.size()));
  const int64_t s2 = AnnouncedSize("second.xml", int64_t(second.size()));
  const std::string sum = std::to_string(s1 + s2), one = std::to_string(s1), two = std::to_string(s2);

  RawClient client(world.pop3Port);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.Response(), "+OK ZEL POP3 service 2.1.0444 ready\r\n");
  struct Case {
    const char* command;
    std::string reply;
    bool multi = false;
  } cases[] = {
      {"STAT", "-ERR Authentication required\r\n"},
      {"LIST", "-ERR Authentication required\r\n"},
      {"help", "+OK Valid commands are: HELP USER PASS LIST UIDL DELE NOOP RETR RSET STAT TOP QUIT\r\n"},
      {"NOOP", "+OK\r\n"},
      {"XYZZY 1", "-ERR Command not recognized\r\n"},
      {"CAPA", "-ERR Command not recognized\r\n"},
      {"PASS secretA", "-ERR USER first\r\n"},
      {"USER", "-ERR Bad syntax\r\n"},
      {"USER alice", "+OK PASS please\r\n"},
      {"PASS", "-ERR Bad syntax\r\n"},
      {"PASS SECRETA", "-ERR Authentication failed\r\n"},
      {"PASS secretA", "-ERR USER first\r\n"},
      {"user ALICE", "+OK PASS please\r\n"},
      {"pass secretA", "+OK Authenticated\r\n"},
      {"USER bob", "-ERR Already logged in\r\n"},
      {"PASS secretB", "-ERR Already logged in\r\n"},
      {"STAT", "+OK 2 " + sum + "\r\n"},
      {"LIST", "+OK 2 messages (" + sum + " octets)\r\n1 " + one + "\r\n2 " + two + "\r\n.\r\n", true},
      {"LIST 2", "+OK 2 " + two + "\r\n"},
      {"LIST  1", "+OK 1 " + one + "\r\n"},
      {"LIST 1x", "+OK 1 " + one + "\r\n"},
      {"LIST 0", "-ERR No such message\r\n"},
      {"LIST abc", "-ERR No such message\r\n"},
      {"LIST ", "-ERR No such message\r\n"},
      {"LIST 3", "-ERR No such message\r\n"},
      {"LIST 4294967297", "-ERR No such message\r\n"},
      {"UIDL", "+OK\r\n1 ENV-1\r\n2 ENV:2\r\n.\r\n", true},
      {"UIDL 2", "+OK 2 ENV:2\r\n"},
      {"UIDL ", "-ERR No such message\r\n"},
      {"UIDL 9", "-ERR No such message\r\n"},
      {"RETR", "-ERR No such message\r\n"},
      {"RETR 7", "-ERR No such message\r\n"},
      {"DELE", "-ERR No such message\r\n"},
      {"TOP", "-ERR No such message\r\n"},
      {"TOP 5 1", "-ERR No such message\r\n"},
      {"DELE 1", "+OK Message deleted\r\n"},
      {"DELE 1", "-ERR No such message\r\n"},
      {"RETR 1", "-ERR No such message\r\n"},
      {"TOP 1 0", "-ERR No such message\r\n"},
      {"STAT", "+OK 1 " + two + "\r\n"},
      {"LIST", "+OK 1 messages (" + two + " octets)\r\n2 " + two + "\r\n.\r\n", true},
      {"RSET", "+OK\r\n"},
      {"STAT", "+OK 2 " + sum + "\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(client.Command(c.command, c.multi), c.reply) << c.command;

  // The lock holds against a second and a third client, in any letter case of the login.
  for (const char* login : {"alice", "ALICE"}) {
    RawClient other(world.pop3Port);
    other.Response();
    EXPECT_EQ(other.Command(std::string("USER ") + login), "+OK PASS please\r\n");
    EXPECT_EQ(other.Command("PASS secretA"), "-ERR Mailbox already locked in\r\n");
    EXPECT_EQ(other.Command("PASS secretA"), "-ERR USER first\r\n") << "the failed login forgot the user";
    EXPECT_EQ(other.Command("QUIT"), "+OK Bye\r\n");
    EXPECT_TRUE(other.ClosedWithin(2000));
  }
  // An empty mailbox.
  {
    RawClient bob(world.pop3Port);
    bob.Response();
    bob.Command("USER bob");
    EXPECT_EQ(bob.Command("PASS secretB"), "+OK Authenticated\r\n");
    EXPECT_EQ(bob.Command("STAT"), "+OK 0 0\r\n");
    EXPECT_EQ(bob.Command("LIST", true), "+OK 0 messages (0 octets)\r\n.\r\n");
    EXPECT_EQ(bob.Command("UIDL", true), "+OK\r\n.\r\n");
    EXPECT_EQ(bob.Command("QUIT"), "+OK Bye\r\n");
  }
  EXPECT_EQ(client.Command("QUIT"), "+OK Bye\r\n");
  EXPECT_TRUE(client.ClosedWithin(2000));
  EXPECT_EQ(client.pending(), "");
  // The session's lock ended with it.
  {
    RawClient again(world.pop3Port);
    again.Response();
    again.Command("USER Alice");
    EXPECT_EQ(again.Command("PASS secretA"), "+OK Authenticated\r\n");
    EXPECT_EQ(again.Command("QUIT"), "+OK Bye\r\n");
  }
  // The documents that cannot be described went to bad at the first load, with their lines.
  EXPECT_TRUE(std::filesystem::exists(world.dir / "base/bad/broken.xml"));
  EXPECT_TRUE(std::filesystem::exists(world.dir / "base/bad/nomail.xml"));
  EXPECT_TRUE(std::filesystem::exists(world.dir / "base/in/Alice/first.xml")) << "RSET took the mark back";
  const std::string log = world.Log();
  for (const std::string& line :
       {"File " + (world.dir / "base/in/Alice/broken.xml") + " moved to bad\r\n",
        "File " + (world.dir / "base/in/Alice/nomail.xml") + " moved to bad\r\n",
        std::string("POP3 user ALICE logged in\r\n"), std::string("Cannot authenticate POP3 user alice\r\n"),
        std::string("POP3 user ALICE account locked by another process\r\n"),
        std::string("4 file(s) found for POP3 user Alice\r\n"), std::string("POP3 command RSET detected\r\n"),
        std::string("Unknown POP3 command XYZZY\r\n")})
    EXPECT_TRUE(MailWorld::Contains(log, line)) << line;
  EXPECT_FALSE(MailWorld::Contains(log, "secretA")) << "passwords never reach the log";
  EXPECT_FALSE(MailWorld::Contains(log, "SECRETA"));
  zel->signal(SIGTERM);
  EXPECT_EQ(zel->wait(), 0);
}

}  // namespace
}  // namespace zel
