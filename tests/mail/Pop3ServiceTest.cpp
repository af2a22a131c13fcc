// The POP3 service of zel as a real process, against a raw client (every reply byte for byte) and
// against real mail clients: Python's poplib with its email package, curl and fetchmail.
#include <gtest/gtest.h>

#include "aslib/CPBase64.h"
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

// Runs a program to its end; its output, and its exit status in *status.
std::string RunProgram(const std::vector<std::string>& argv, const std::string& outputFile, int* status,
                       const std::vector<std::string>& env = {}) {
  test::ChildProcess child(argv, env, outputFile);
  *status = child.wait(std::chrono::seconds(60));
  return child.output();
}

// Three documents in Alice's mailbox: small, with an envelope identifier; odd sizes; 200 KB.
std::vector<std::string> PutThree(MailWorld& world) {
  std::vector<std::string> paths;
  paths.push_back(world.Put("in/Alice", "one.xml", test::Document("ENV-1")));
  paths.push_back(world.Put("in/Alice", "two.xml", test::Document("ENV-2", std::string(1001, 'y'))));
  std::string big;
  for (int i = 0; big.size() < 200000; ++i) big += "<Item n='" + std::to_string(i) + "'>\xd0\x94\xd0\xb0</Item>\n";
  paths.push_back(world.Put("in/Alice", "three.xml", test::Document("ENV-3", big)));
  return paths;
}

TEST(Pop3Service, PythonPoplibRetrievesDecodesAndDeletes) {
  MailWorld world;
  PutThree(world);
  auto zel = world.Start();
  int status = -1;
  const std::string out = RunProgram({"/usr/bin/python3", std::string(ZEL_TEST_DATA) + "/poplib_dialogue.py",
                                      std::to_string(world.pop3Port), world.dir / "base/in/Alice"},
                                     world.dir / "python.out", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("poplib dialogue passed"), std::string::npos) << out;
  EXPECT_EQ(test::CountFiles(world.dir / "base/in/Alice"), 2u);
  EXPECT_TRUE(MailWorld::Contains(world.Log(), "Message three.xml delivered via POP3\r\n"));
  EXPECT_TRUE(MailWorld::Contains(world.Log(), " deleted\r\n"));
}

// The base64 body of a composed message, decoded (line ends CR LF, or LF as a local delivery
// writes them).
std::string Attachment(std::string message) {
  std::erase(message, '\r');
  const std::string start = "Content-Transfer-Encoding: base64\n\n";
  size_t from = message.find(start);
  if (from == std::string::npos) return "";
  from += start.size();
  size_t end = message.find("\n\n--", from);
  return CPBase64::decode(message.substr(from, end - from));
}

TEST(Pop3Service, CurlListsRetrievesAndDeletes) {
  MailWorld world;
  std::vector<std::string> paths = PutThree(world);
  auto zel = world.Start();
  const std::string url = "pop3://127.0.0.1:" + std::to_string(world.pop3Port) + "/";
  auto curl = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "30", "-u", "ALICE:secretA"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    std::string out = RunProgram(argv, world.dir / "curl.out", &status);
    EXPECT_EQ(status, 0) << out;
    return out;
  };
  const std::string list = curl({url});
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 3) << list;
  EXPECT_EQ(list.compare(0, 2, "1 "), 0) << list;
  EXPECT_EQ(curl({"-X", "UIDL", url}), "1 ENV-1\r\n2 ENV-2\r\n3 ENV-3\r\n");
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string message = curl({url + std::to_string(i + 1)});
    EXPECT_EQ(message.compare(0, 7, "From: <"), 0);
    EXPECT_TRUE(Attachment(message) == test::ReadFile(paths[i])) << i;
  }
  const std::string head = curl({"-X", "TOP 3 10", url});
  EXPECT_EQ(head.compare(0, 7, "From: <"), 0) << head;
  EXPECT_EQ(head.substr(head.size() - 5), "\"\r\n\r\n") << "the head ends with its blank line";
  EXPECT_EQ(head.find("base64"), std::string::npos);
  curl({"-X", "DELE", "-I", url + "2"});
  EXPECT_TRUE(std::filesystem::exists(paths[0]));
  EXPECT_FALSE(std::filesystem::exists(paths[1]));
  EXPECT_TRUE(std::filesystem::exists(paths[2]));
}

TEST(Pop3Service, FetchmailCollectsEveryDocumentAndDeletesIt) {
  if (!std::filesystem::exists("/usr/bin/fetchmail")) GTEST_SKIP() << "fetchmail is installed by scripts/test.sh";
  MailWorld world;
  std::vector<std::string> paths = PutThree(world);
  std::vector<std::string> originals;
  for (const auto& p : paths) originals.push_back(test::ReadFile(p));
  auto zel = world.Start();
  const std::string rc = world.dir / "fetchmailrc", mbox = world.dir / "fetched.mbox";
  test::WriteFile(rc, "set no syslog\npoll 127.0.0.1 protocol POP3 port " + std::to_string(world.pop3Port) +
                          " auth password timeout 30\n  user \"alice\" with password \"secretA\" is root here"
                          " fetchall nokeep sslproto ''\n  mda \"/bin/sh -c 'cat >> " +
                          mbox + "'\"\n");
  chmod(rc.c_str(), 0600);
  int status = -1;
  const std::string out = RunProgram(
      {"/usr/bin/fetchmail", "-f", rc, "--nodetach", "-v", "--pidfile", world.dir / "fm.pid"},
      world.dir / "fetchmail.out", &status, {"HOME=" + world.dir.path(), "FETCHMAILHOME=" + world.dir.path()});
  EXPECT_EQ(status, 0) << out;
  const std::string fetched = test::ReadFile(mbox);
  for (const auto& original : originals) {
    bool found = false;
    for (size_t at = 0; (at = fetched.find("Content-Transfer-Encoding: base64", at)) != std::string::npos; ++at)
      found = found || Attachment(fetched.substr(at)) == original;
    EXPECT_TRUE(found) << original.substr(0, 200);
  }
  EXPECT_EQ(test::CountFiles(world.dir / "base/in/Alice"), 0u) << out;
}

}  // namespace
}  // namespace zel
