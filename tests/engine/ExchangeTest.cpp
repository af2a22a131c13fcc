#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>

#include "engine/CPExchangeClient.h"
#include "engine/CPTicket.h"
#include "net/CPHostCache.h"
#include "tests/engine/ExchangeWorld.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using test::Contains;

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++n;
  return n;
}

// The lines of the log around the first occurrence of `part`, to show what led to it.
std::string AroundFirst(const std::string& log, const std::string& part) {
  const size_t at = log.find(part);
  if (at == std::string::npos) return {};
  size_t from = at > 3000 ? log.rfind('\n', at - 3000) : 0;
  if (from == std::string::npos) from = 0;
  return log.substr(from, at - from + 1000);
}

TEST(ExchangeClient, RequestsByteForByte) {
  CPHostCache hosts;
  CPExchangeClient primary(&hosts);
  // Not connected (nothing listens on port 1), but host, port and the granted wishes are set.
  EXPECT_FALSE(primary.Connect(ServerHost(0), 1, nullptr, true, true));
  const std::string host = ServerHost(0) + ":1";
  OptSecret pass(SecretString("p@ss"));
  primary.BuildListRequest("/EDAP/list.php", std::string("alice"), pass);
  EXPECT_EQ(primary.wireBuffer().unreadBytes(), "GET /EDAP/list.php HTTP/1.1\r\nHost: " + host +
                                                    "\r\nED-LOGIN: alice\r\nED-PASS: p@ss\r\nConnection: close\r\n"
                                                    "Content-Length: 0\r\n\r\n");
  primary.BuildGetRequest("/EDAP/get.php", "a b/c.xml", std::string("alice"), pass);
  EXPECT_EQ(primary.wireBuffer().unreadBytes(),
            "GET /EDAP/get.php?file=a%20b%2Fc.xml HTTP/1.1\r\nHost: " + host +
                "\r\nED-LOGIN: alice\r\nED-PASS: p@ss\r\nConnection: keep-alive\r\nAccept-Encoding: gzip\r\n"
                "Content-Length: 0\r\n\r\n");
  primary.BuildGetRequest("/EDAP/get.php", "%2e%2e%2fx3.xml", std::nullopt, std::nullopt);
  EXPECT_EQ(primary.wireBuffer().unreadBytes().substr(0, 50), "GET /EDAP/get.php?file=%252e%252e%252fx3.xml HTTP/")
      << "a listed name goes as exactly that name";
  primary.BuildRemoveRequest("/EDAP/rm.php", "100%.xml", std::nullopt, std::nullopt);
  EXPECT_EQ(primary.wireBuffer().unreadBytes().substr(0, 37), "GET /EDAP/rm.php?file=100%25.xml HTTP");
  primary.BuildRemoveRequest("/EDAP/rm.php", "c.xml", std::string("alice"), std::nullopt);
  EXPECT_EQ(primary.wireBuffer().unreadBytes(), "GET /EDAP/rm.php?file=c.xml HTTP/1.1\r\nHost: " + host +
                                                    "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n")
      << "no password: neither credential header";
  ASVariableBuffer doc;
  doc.append("<doc/>");
  primary.BuildPostRequest("/EDAP/send.php", "id-1", std::string("alice"), pass, doc);
  std::string post = primary.wireBuffer().unreadBytes();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(post, m, std::regex("Content-Length: (\\d+)\r\n\r\n")));
  EXPECT_EQ(post.substr(0, post.find("Content-Length")),
            "POST /EDAP/send.php?id=id-1 HTTP/1.1\r\nHost: " + host +
                "\r\nED-LOGIN: alice\r\nED-PASS: p@ss\r\nConnection: keep-alive\r\nContent-Type: application/xml\r\n"
                "Content-Encoding: gzip\r\n");
  EXPECT_EQ(post.size() - size_t(m.position(0) + m.length(0)), std::stoul(m[1])) << "the gzip body follows";
  EXPECT_EQ(uint8_t(post[size_t(m.position(0) + m.length(0))]), 0x1f);

  CPExchangeClient other(&hosts);
  EXPECT_FALSE(other.Connect(ServerHost(1), 443, nullptr, true, true));
  other.BuildGetRequest("/g", "x", std::string("bob"), pass);
  EXPECT_EQ(other.wireBuffer().unreadBytes(), "GET /g?file=x HTTP/1.1\r\nHost: " + ServerHost(1) +
                                                  "\r\nED-LOGIN: bob\r\nED-PASS: p@ss\r\nConnection: close\r\n"
                                                  "Content-Length: 0\r\n\r\n")
      << "no port on 443, and no keep-alive or gzip away from the primary host";
  EXPECT_EQ(&ServerHost(7), &ServerHost(0));
}

TEST(ExchangeClient, ListBodies) {
  EXPECT_EQ(ParseFileList("a b.xml\nc.xml\n"), (std::vector<std::string>{"b.xml", "c.xml"}));
  EXPECT_EQ(ParseFileList("1 a.xml\r\n"), (std::vector<std::string>{"a.xml\r"}));
  EXPECT_EQ(ParseFileList("only.xml"), (std::vector<std::string>{"only.xml"}));
  EXPECT_EQ(ParseFileList("a\n\nb\n"), (std::vector<std::string>{"a", "b"})) << "an empty name is counted, not kept";
  EXPECT_EQ(ParseFileList(""), (std::vector<std::string>{}));
  EXPECT_TRUE(IsTextMessage("NOTE.TXT"));
  EXPECT_FALSE(IsTextMessage("a.txt.xml"));
}

TEST(ExchangeClient, ListsAreReadAsTheyArriveAndBounded) {
  // Any cut of the body into pieces gives the same entries.
  const std::string body = "1 a.xml\n\n2 b.xml\nc d e.xml\ntail.xml";
  for (size_t piece : {1u, 2u, 5u, 100u}) {
    FileListParser list;
    for (size_t at = 0; at < body.size(); at += piece) {
      ASVariableBuffer b;
      b.append(body.substr(at, piece));
      EXPECT_TRUE(list.take(b));
      EXPECT_EQ(b.length(), 0) << "every piece is taken and emptied";
    }
    list.finish();
    EXPECT_EQ(list.names, (std::vector<std::string>{"a.xml", "b.xml", "d e.xml", "tail.xml"})) << piece;
    EXPECT_EQ(list.entries, 5) << piece;
  }
  // Ten million line feeds keep nothing; a line beyond the bound is passed over whole.
  FileListParser feeds;
  const std::string block(1 << 20, '\n');
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(feeds.take(std::string_view(block)));
  EXPECT_TRUE(feeds.take(std::string(kMaxListLine + 1, 'x') + "\nlast.xml\n"));
  feeds.finish();
  EXPECT_EQ(feeds.names, (std::vector<std::string>{"last.xml"}));
  EXPECT_EQ(feeds.entries, 10 * (1 << 20) + 2);
  EXPECT_EQ(feeds.longLines, 1);
  EXPECT_LT(feeds.names.capacity(), 16u);
  // A list of a few thousand names is taken whole; beyond the bound the rest wait.
  std::string many;
  for (size_t i = 0; i < kMaxListedNames + 50; ++i) many += std::to_string(i) + " f" + std::to_string(i) + ".xml\n";
  EXPECT_EQ(ParseFileList(many.substr(0, many.find("\n5000 f5000.xml") + 1)).size(), 5000u);
  FileListParser bounded;
  EXPECT_FALSE(bounded.take(std::string_view(many)));
  EXPECT_TRUE(bounded.full);
  ASSERT_EQ(bounded.names.size(), kMaxListedNames);
  EXPECT_EQ(bounded.names.back(), "f" + std::to_string(kMaxListedNames - 1) + ".xml");
}

TEST(Exchange, DocumentsTravelBothWays) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.subdirs = options.byLogin = options.copy = true;
  test::ExchangeWorld world(options);
  const std::string a1 = world.Drop("a1.xml", "PID-A", "env-a1", 40000, "out/alice");
  const std::string b1 = world.Drop("b1.xml", "PID-X", "env-b1", 2000, "out/bob");
  const std::string d1 = test::ExchangeWorld::Envelope("PID-A", "in-1", 3000);
  world.PutInbox("alice", "d1.xml", d1);
  world.PutInbox("alice", "NOTE.TXT", "Сообщение от сервера");
  world.PutInbox("alice", "junk.xml", "this is no envelope");
  auto zel = world.StartZel();
  const std::string delivered = world.dir / "base/in/alice/d1.xml";
  ASSERT_TRUE(world.WaitFor(
      [&] {
        // zel knows of both posts too: a stop may cut a pass short and keep a ticket for the next start.
        const std::string log = world.Log();
        if (!Contains(log, "XML file a1.xml id env-a1 successfully posted") ||
            !Contains(log, "XML file b1.xml id env-b1 successfully posted"))
          return false;
        return !world.Posted("alice", "env-a1").empty() && !world.Posted("bob", "env-b1").empty() &&
               fs::exists(delivered) && !world.OnServer("alice", "d1.xml") && !world.OnServer("alice", "NOTE.TXT") &&
               fs::exists(world.dir / "base/bad/junk.xml");
      },
      60))
      << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);

  EXPECT_EQ(world.Posted("alice", "env-a1"), a1) << "byte for byte";
  EXPECT_EQ(world.Posted("bob", "env-b1"), b1);
  EXPECT_EQ(test::ReadFile(delivered), d1);
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
  EXPECT_EQ(test::ReadFile(world.dir / (std::string("base/copy/alice/") + date + "/d1.xml")), d1);
  EXPECT_TRUE(world.OnServer("alice", "junk.xml")) << "a packet without an envelope stays on the server";
  EXPECT_EQ(world.Count("base/out/alice") + world.Count("base/out/bob"), 0u);
  for (const auto& e : fs::directory_iterator(world.dir / "base/queue"))
    EXPECT_EQ(e.path().filename().string().rfind("junk", 0), 0u) << e.path() << " left in the queue";
  EXPECT_TRUE(Contains(test::ReadFile(world.dir / "console"), "Velmor Carvoss\nСообщение от сервера\n"));
  EXPECT_FALSE(fs::exists(world.dir / "base/in/alice/NOTE.TXT")) << "text messages are never stored";

  const std::string journal = world.Journal();
  EXPECT_TRUE(Contains(journal, "post status=200 login=alice pass=secretA file=- id=env-a1 host=localhost:" +
                                    std::to_string(world.port) +
                                    " connection=keep-alive accept-encoding=- content-encoding=gzip "
                                    "content-type=application/xml"))
      << journal;
  EXPECT_TRUE(Contains(
      journal, "post status=200 login=bob pass=secretB file=- id=env-b1 host=127.0.0.1:" + std::to_string(world.port) +
                   " connection=close accept-encoding=- content-encoding=- content-type=application/xml"))
      << "hostid 1: no gzip although compression is on";
  EXPECT_TRUE(Contains(journal, "get status=200 login=alice pass=secretA file=d1.xml id=- host=localhost:" +
                                    std::to_string(world.port) + " connection=keep-alive accept-encoding=gzip"));
  const std::string log = world.Log();
  EXPECT_TRUE(Contains(log, "XML file a1.xml id env-a1 successfully posted to localhost:"));
  EXPECT_TRUE(Contains(log, "No ED header in packet junk.xml"));
  EXPECT_TRUE(Contains(log, "File d1.xml id in-1 delivered to inbound"));
  EXPECT_TRUE(Contains(log, "File d1.xml removed from server"));
  EXPECT_TRUE(Contains(log, "Bad password for account login carol"));
}

TEST(Exchange, ServerStatusesDecideWhatHappensToAnUpload) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.faults = "post 558 1\npost 553 1\n";
  options.fastRetry = false;
  test::ExchangeWorld world(options);
  world.Drop("first.xml", "PID-A", "env-1");
  world.Drop("second.xml", "PID-A", "env-2");
  world.Drop("third.xml", "PID-A", "env-3");
  world.Drop("carols.xml", "PID-C", "env-c");
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor(
      [&] {
        const std::string log = world.Log();
        return Contains(log, "Server said 558") && Contains(log, "Server said 553") &&
               Contains(log, "successfully posted") &&
               Contains(log, "No login or incorrect password for account Carol");
      },
      60))
      << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  const std::string log = world.Log();
  // 558: ticket and document go, with the "was not sent" line rather than the success line.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(log, m,
                                std::regex("Server said 558 Duplicate Envelope ID\r\n.*XML file (\\w+)\\.xml id "
                                           "(env-\\d) was not sent to localhost:")))
      << log;
  const std::string gone = m[1];
  EXPECT_FALSE(fs::exists(world.dir / ("base/queue/" + gone + ".xml")));
  EXPECT_FALSE(fs::exists(world.dir / ("base/queue/" + gone + ".ticket")));
  // 553: deferred by 120 s, the next ticket went out on a renewed connection.
  ASSERT_TRUE(
      std::regex_search(log, m, std::regex("Server said 553 Authorization Failed\r\n.*XML file (\\w+)\\.xml id")));
  const std::string deferred = m[1];
  EXPECT_TRUE(Contains(log, "Reconnected to localhost:" + std::to_string(world.port)));
  CPTicket ticket;
  ASSERT_TRUE(LoadTicket(world.dir / ("base/queue/" + deferred + ".ticket"), ticket));
  const int64_t now = std::time(nullptr);
  EXPECT_NEAR(int64_t(ticket.SendTime), now + 120, 15);
  EXPECT_TRUE(fs::exists(world.dir / ("base/queue/" + deferred + ".xml")));
  // An account whose password does not decrypt: deferred by 300 s.
  CPTicket carol;
  ASSERT_TRUE(LoadTicket(world.dir / "base/queue/carols.ticket", carol));
  EXPECT_NEAR(int64_t(carol.SendTime), now + 300, 15);
  EXPECT_EQ(test::CountFiles(world.dir / "mb/alice/posted"), 1u) << "only the one that got 200 is held";
}

// In a kept-alive batch the next documents are read and compressed ahead of their turn. What is
// posted is each document as queued, whatever its size; a queued document that is gone is reported
// in its own turn and its ticket deferred, and the documents around it still go.
TEST(Exchange, DocumentsCompressedAheadArePostedAsQueued) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::ExchangeWorld world(test::WorldOptions{});
  std::map<std::string, std::string> up;
  for (int i = 0; i < 12; ++i) {
    const std::string id = "a-" + std::to_string(i);
    // One beyond what is compressed ahead, one that spills from memory, the rest small.
    const size_t size = i == 5 ? (5 << 20) : i == 7 ? 300000 : 1000 + size_t(i);
    up[id] = world.Drop("up" + std::to_string(i) + ".xml", "PID-A", id, size);
  }
  ASSERT_TRUE(CreateTicket(CPTicket::kUpload, std::string("PID-A"), std::string("a-gone"), std::nullopt,
                           world.dir / "base/queue", world.dir / "base/queue/gone.xml"));
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor(
      [&] {
        for (const auto& [id, doc] : up)
          if (world.Posted("alice", id).empty()) return false;
        return Contains(world.Log(), "Cannot read from file " + world.dir / "base/queue/gone.xml");
      },
      60))
      << world.Log().substr(0, 20000);
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  for (const auto& [id, doc] : up) EXPECT_EQ(world.Posted("alice", id), doc) << id << " byte for byte";
  EXPECT_TRUE(fs::exists(world.dir / "base/queue/gone.ticket")) << "deferred, not dropped";
  EXPECT_EQ(Occurrences(world.Journal(), "content-encoding=gzip"), up.size()) << "every post compressed";
}

TEST(Exchange, PartialBodiesStayOnTheServerAndHostileNamesAreRefused) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.faults = "get truncate 1\n";
  options.extraList = "1 ../evil.xml\n2 sub/dir.xml\n3 back\\slash.xml\n";
  test::ExchangeWorld world(options);
  const std::string p1 = test::ExchangeWorld::Envelope("PID-A", "in-p", 50000);
  world.PutInbox("alice", "p1.xml", p1);
  auto zel = world.StartZel();
  ASSERT_TRUE(
      world.WaitFor([&] { return fs::exists(world.dir / "base/in/p1.xml") && !world.OnServer("alice", "p1.xml"); }, 90))
      << world.Log();
  zel->signal(SIGINT);
  zel->wait();
  const std::string log = world.Log();
  EXPECT_TRUE(std::regex_search(log, std::regex("File p1.xml partial download, size \\d+"))) << log;
  EXPECT_EQ(test::ReadFile(world.dir / "base/in/p1.xml"), p1) << "fetched whole at the next retrieval";
  for (const char* name : {"../evil.xml", "sub/dir.xml", "back\\slash.xml"})
    EXPECT_TRUE(Contains(log, std::string("Refusing file name ") + name + " from the server")) << name;
  EXPECT_FALSE(fs::exists(world.dir / "base/evil.xml"));
  EXPECT_FALSE(fs::exists(world.dir / "base/in/sub"));
  EXPECT_EQ(world.Journal().find("file=../evil.xml"), std::string::npos) << "never even asked for";
}

// What a ticket of today looks like on disk, written out by hand.
std::string OldTicket(const std::string& ticketPath, const std::string& documentPath, const std::string& login,
                      const std::string& envelope, const std::string& name, uint64_t sendTime) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<ticket>\r\n    <TicketAction value=\"2\" />\r\n"
         "    <TicketFile value=\"" +
         ticketPath + "\" />\r\n    <OutboundFile value=\"" + documentPath +
         "\" />\r\n    <ParticipantID value=\"PID-A\" />\r\n    <EnvelopeID value=\"" + envelope +
         "\" />\r\n    <Login value=\"" + login + "\" />\r\n    <OriginalFilename value=\"" + name +
         "\" />\r\n    <SendTime value=\"" + std::to_string(sendTime) + "\" />\r\n</ticket>";
}

TEST(Exchange, NamesThatShareATicketNameAreAllSentAndNothingIsOverwritten) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.subdirs = options.byLogin = true;
  test::ExchangeWorld world(options);
  // An upload that waits for a later time, queued by an earlier run; the server lists a file of
  // the same stem.
  const std::string queue = world.dir / "base/queue";
  const std::string waiting =
      OldTicket(queue + "/s.ticket", queue + "/s.xml", "alice", "env-s", "s.xml", uint64_t(std::time(nullptr)) + 3600);
  test::WriteFile(queue + "/s.ticket", waiting);
  test::WriteFile(queue + "/s.xml", test::ExchangeWorld::Envelope("PID-A", "env-s", 100));
  const std::string s = test::ExchangeWorld::Envelope("PID-A", "in-s", 300);
  world.PutInbox("alice", "s.xml", s);
  std::map<std::string, std::string> up;  // envelope id -> document
  int n = 0;
  for (const char* name : {"a.xml", "a.XML", "a.Xml", "c:d.xml", "c-d.xml", "x.xml"}) {
    const std::string id = "env-alice-" + std::to_string(n++);
    up[id] = world.Drop(name, "PID-A", id, 500, "out/alice");
  }
  up["env-bob-x"] = world.Drop("x.xml", "PID-B", "env-bob-x", 700, "out/bob");
  auto zel = world.StartZel();
  auto sent = [&] {
    for (const auto& [id, doc] : up)
      if (world.Posted(id.rfind("env-bob", 0) == 0 ? "bob" : "alice", id).empty()) return false;
    return fs::exists(world.dir / "base/in/alice/s.xml") && !world.OnServer("alice", "s.xml");
  };
  ASSERT_TRUE(world.WaitFor(sent, 60)) << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  for (const auto& [id, doc] : up)
    EXPECT_EQ(world.Posted(id.rfind("env-bob", 0) == 0 ? "bob" : "alice", id), doc) << id;
  EXPECT_EQ(test::ReadFile(world.dir / "base/in/alice/s.xml"), s);
  EXPECT_EQ(test::ReadFile(queue + "/s.ticket"), waiting) << "the waiting upload keeps its ticket";
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(queue)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"s.ticket", "s.xml"})) << "nothing stranded in the queue";
  const std::string log = world.Log();
  for (const char* name : {"a.XML", "a.Xml", "c:d.xml", "c-d.xml"})
    EXPECT_TRUE(Contains(log, std::string("XML file ") + name + " queued for delivery")) << name;
  EXPECT_EQ(Occurrences(log, "XML file x.xml queued for delivery"), 2u);
  EXPECT_TRUE(Contains(log, "XML file c:d.xml id env-alice-3 successfully posted")) << "the original name";
}

TEST(Exchange, AColonInTheQueueFolderIsKept) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.queue = "col:on/queue";
  test::ExchangeWorld world(options);
  const std::string doc = world.Drop("up.xml", "PID-A", "env-colon");
  const std::string in = test::ExchangeWorld::Envelope("PID-A", "in-colon", 200);
  world.PutInbox("alice", "k:l.xml", in);
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor(
      [&] { return !world.Posted("alice", "env-colon").empty() && !world.OnServer("alice", "k:l.xml"); }, 60))
      << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  EXPECT_EQ(world.Posted("alice", "env-colon"), doc);
  EXPECT_EQ(test::ReadFile(world.dir / "base/in/k-l.xml"), in) << "a listed name still gets hyphens";
  EXPECT_FALSE(fs::exists(world.dir / "base/col-on"));
  EXPECT_EQ(world.Count("base/col:on/queue"), 0u);
}

TEST(Exchange, NamesATicketCannotCarryAreRefusedAndOddOnesArriveExactly) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::ExchangeWorld world(test::WorldOptions{});
  std::map<std::string, std::string> down;
  int n = 0;
  for (const char* name : {"t\tab.xml", "c\rr.xml", "%2e%2e%2fx3.xml", "100%.xml"}) {
    down[name] = test::ExchangeWorld::Envelope("PID-A", "in-" + std::to_string(n++), 200);
    world.PutInbox("alice", name, down[name]);
  }
  for (const char* name : {"ctl\x01.xml", "inv\xFF.xml"}) world.PutInbox("alice", name, "<x/>");
  const std::string tab = world.Drop("o\tut.xml", "PID-A", "env-tab");
  world.Drop("o\x01ut.xml", "PID-A", "env-ctl");
  world.Drop("o\xFFut.xml", "PID-A", "env-inv");
  auto zel = world.StartZel();
  auto done = [&] {
    for (const auto& [name, doc] : down)
      if (world.OnServer("alice", name) || !fs::exists(world.dir / ("base/in/" + name))) return false;
    return !world.Posted("alice", "env-tab").empty() && world.Count("base/bad") == 2;
  };
  ASSERT_TRUE(world.WaitFor(done, 60)) << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  for (const auto& [name, doc] : down) EXPECT_EQ(test::ReadFile(world.dir / ("base/in/" + name)), doc) << name;
  EXPECT_EQ(world.Posted("alice", "env-tab"), tab);
  EXPECT_TRUE(fs::exists(world.dir / "base/bad/o\x01ut.xml"));
  EXPECT_TRUE(fs::exists(world.dir / "base/bad/o\xFFut.xml"));
  EXPECT_EQ(world.Count("base/queue"), 0u);
  const std::string log = world.Log(), journal = world.Journal();
  EXPECT_TRUE(
      Contains(log, "XML file " + world.dir / "base/out/o\x01ut.xml" + " has a name that a ticket cannot carry"));
  // Left on the server, never asked for, and said once per list.
  const size_t lists = Occurrences(journal, "list status=200 login=alice ");
  for (const char* name : {"ctl\x01.xml", "inv\xFF.xml"}) {
    EXPECT_TRUE(world.OnServer("alice", name));
    EXPECT_EQ(
        Occurrences(log, std::string("Refusing file name ") + name + " from the server: a ticket cannot carry it"),
        lists)
        << name;
  }
  EXPECT_EQ(Occurrences(journal, "get status="), down.size()) << journal;
  EXPECT_EQ(Occurrences(journal, "remove status=200 "), down.size()) << journal;
  EXPECT_TRUE(Contains(journal, "get status=200 login=alice pass=secretA file=%2e%2e%2fx3.xml "));
  EXPECT_FALSE(Contains(journal, "file=../x3.xml"));
}

TEST(Exchange, AnOversizedTicketOrAQueueSpelledAnotherWayStrandsNothing) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  test::ExchangeWorld world(options);
  const std::string base = world.dir / "base";
  // A terabyte (sparse) of junk under a ticket name.
  { std::ofstream junk(base + "/queue/junk.ticket"); }
  fs::resize_file(base + "/queue/junk.ticket", uintmax_t(1) << 40);
  // Tickets written when the queue folder was spelled through a link, or with a trailing slash.
  fs::create_directory_symlink(base + "/queue", base + "/qlink");
  std::map<std::string, std::string> up;
  for (const auto& [name, folder] :
       {std::pair<std::string, std::string>{"linked", base + "/qlink"}, {"slashed", base + "/queue/"}}) {
    up["env-" + name] = test::ExchangeWorld::Envelope("PID-A", "env-" + name, 400);
    test::WriteFile(base + "/queue/" + name + ".xml", up["env-" + name]);
    test::WriteFile(base + "/queue/" + name + ".ticket",
                    OldTicket(folder + "/" + name + ".ticket", folder + "/" + name + ".xml", "alice", "env-" + name,
                              name + ".xml", 0));
  }
  up["env-new"] = world.Drop("new.xml", "PID-A", "env-new");
  auto zel = world.StartZel();
  auto sent = [&] {
    for (const auto& [id, doc] : up)
      if (world.Posted("alice", id).empty()) return false;
    return world.Count("base/queue") == 1;
  };
  ASSERT_TRUE(world.WaitFor(sent, 60)) << world.Log();
  EXPECT_EQ(zel->wait(std::chrono::milliseconds(0)), -1) << "zel is still running";
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  for (const auto& [id, doc] : up) EXPECT_EQ(world.Posted("alice", id), doc) << id;
  EXPECT_TRUE(fs::exists(base + "/queue/junk.ticket.oversized"));
  EXPECT_EQ(
      Occurrences(world.Log(), "is larger than 65536 bytes, set aside as " + base + "/queue/junk.ticket.oversized"),
      1u);
}

// A server that ends every connection after one or two requests, saying "Connection: close" in
// its last response: zel opens a new connection before the next request, so every document is
// fetched, delivered and removed once, and every upload is posted once.
TEST(Exchange, AConnectionTheServerClosesIsRenewedBeforeTheNextRequest) {
  ZEL_REQUIRE_TEST_KNOBS();
  for (int perConnection : {1, 2}) {
    SCOPED_TRACE(perConnection);
    test::WorldOptions options;
    options.requestsPerConnection = perConnection;
    test::ExchangeWorld world(options);
    std::map<std::string, std::string> down;
    for (int i = 0; i < 3; ++i) {
      const std::string name = "d" + std::to_string(i) + ".xml";
      down[name] = test::ExchangeWorld::Envelope("PID-A", "in-" + std::to_string(i), 1000);
      world.PutInbox("alice", name, down[name]);
      world.Drop("u" + std::to_string(i) + ".xml", "PID-A", "up-" + std::to_string(i));
    }
    auto zel = world.StartZel();
    auto settled = [&] {
      for (const auto& [name, doc] : down)
        if (world.OnServer("alice", name) || !fs::exists(world.dir / ("base/in/" + name))) return false;
      for (int i = 0; i < 3; ++i)
        if (world.Posted("alice", "up-" + std::to_string(i)).empty()) return false;
      return true;
    };
    ASSERT_TRUE(world.WaitFor(settled, 30)) << world.Log();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // a few more lists: nothing comes twice
    zel->signal(SIGINT);
    EXPECT_EQ(zel->wait(), 0);
    const std::string log = world.Log(), journal = world.Journal();
    for (const auto& [name, doc] : down) {
      EXPECT_EQ(test::ReadFile(world.dir / ("base/in/" + name)), doc);
      size_t fetched = 0;
      for (size_t at = 0;
           (at = journal.find("get status=200 login=alice pass=secretA file=" + name, at)) != std::string::npos; ++at)
        ++fetched;
      EXPECT_EQ(fetched, 1u) << name << "\n" << journal;
    }
    for (const char* failure : {"Cannot remove file", "Cannot receive server response", "was not sent"})
      EXPECT_FALSE(Contains(log, failure)) << failure << "\n" << log;
    EXPECT_TRUE(Contains(log, "Reconnected to localhost:" + std::to_string(world.port))) << log;
  }
}

// The spill folder fills up during downloads: alice's body comes gzip-coded on a kept-alive
// connection, bob's plain, one connection per ticket. Nothing that lost bytes is delivered, written to
// bad or removed from the server; once there is room again, both arrive whole.
TEST(Exchange, ADownloadThatCannotKeepItsBytesFailsAndStaysOnTheServer) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::ExchangeWorld world(test::WorldOptions{});
  test::TmpfsMount spill(world.dir / "spill", "512k");
  if (!spill.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string doc = test::ExchangeWorld::Envelope("PID-A", "in-big", 3000000);
  world.PutInbox("alice", "big-a.xml", doc);
  world.PutInbox("bob", "big-b.xml", doc);
  auto zel = world.StartZel({"TMPDIR=" + (world.dir / "spill")});
  auto served = [&](const std::string& login) {
    const std::string journal = world.Journal();
    size_t n = 0;
    for (size_t at = 0; (at = journal.find("get status=200 login=" + login, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  ASSERT_TRUE(world.WaitFor([&] { return served("alice") >= 3 && served("bob") >= 3; }, 60)) << world.Log();
  const std::string log = world.Log();
  for (const char* name : {"big-a.xml", "big-b.xml"})
    EXPECT_TRUE(std::regex_search(log, std::regex(std::string("File ") + name + " partial download, size \\d+")))
        << name;
  EXPECT_FALSE(Contains(log, "delivered to inbound")) << log;
  EXPECT_FALSE(Contains(log, "No ED header")) << log;
  EXPECT_EQ(world.Count("base/in"), 0u);
  EXPECT_EQ(world.Count("base/bad"), 0u);
  EXPECT_TRUE(world.OnServer("alice", "big-a.xml"));
  EXPECT_TRUE(world.OnServer("bob", "big-b.xml"));

  ASSERT_TRUE(spill.resize("64m"));
  ASSERT_TRUE(world.WaitFor(
      [&] {
        return !world.OnServer("alice", "big-a.xml") && !world.OnServer("bob", "big-b.xml") &&
               fs::exists(world.dir / "base/in/big-a.xml") && fs::exists(world.dir / "base/in/big-b.xml");
      },
      60))
      << world.Log();
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  EXPECT_EQ(test::ReadFile(world.dir / "base/in/big-a.xml"), doc);
  EXPECT_EQ(test::ReadFile(world.dir / "base/in/big-b.xml"), doc);
  EXPECT_EQ(world.Count("base/bad"), 0u);
}

// Every document of both directions sits exactly once where it belongs at the end.
void CheckSettled(test::ExchangeWorld& world, const std::map<std::string, std::string>& up,
                  const std::map<std::string, std::string>& down) {
  for (const auto& [id, doc] : up) {
    const std::string login = id.rfind("a-", 0) == 0 ? "alice" : "bob";
    EXPECT_EQ(world.Posted(login, id), doc) << id;
  }
  for (const auto& [name, doc] : down) {
    EXPECT_EQ(test::ReadFile(world.dir / ("base/in/" + name)), doc) << name;
    EXPECT_FALSE(world.OnServer("alice", name)) << name;
  }
  EXPECT_EQ(world.Count("base/out"), 0u);
  EXPECT_EQ(world.Count("base/bad"), 0u);
  // No ticket is left. A queued document may be left only when a kill came between the removal of
  // its ticket and its own deletion, after the server had taken it: then the server holds it.
  for (const auto& e : fs::directory_iterator(world.dir / "base/queue")) {
    EXPECT_NE(e.path().extension(), ".ticket") << e.path();
    if (e.path().extension() != ".xml") continue;
    const std::string doc = test::ReadFile(e.path());
    bool held = false;
    for (const auto& [id, posted] : up) held = held || posted == doc;
    EXPECT_TRUE(held) << e.path() << " left in the queue and not on the server";
  }
}

std::pair<std::map<std::string, std::string>, std::map<std::string, std::string>> Traffic(test::ExchangeWorld& world,
                                                                                          int each, int first = 0) {
  std::map<std::string, std::string> up, down;
  for (int i = first; i < first + each; ++i) {
    const std::string id = (i % 2 ? "b-" : "a-") + std::to_string(i);
    up[id] = world.Drop("up" + std::to_string(i) + ".xml", i % 2 ? "PID-B" : "PID-A", id, 1000 + size_t(i) * 37);
    const std::string name = "down" + std::to_string(i) + ".xml";
    down[name] = test::ExchangeWorld::Envelope("PID-A", "d-" + std::to_string(i), 500 + size_t(i) * 53);
    world.PutInbox("alice", name, down[name]);
  }
  return {up, down};
}

bool Settled(test::ExchangeWorld& world, const std::map<std::string, std::string>& up,
             const std::map<std::string, std::string>& down) {
  if (world.Count("base/out") > 0) return false;
  for (const auto& [id, doc] : up)
    if (world.Posted(id.rfind("a-", 0) == 0 ? "alice" : "bob", id).empty()) return false;
  for (const auto& [name, doc] : down)
    if (world.OnServer("alice", name) || !fs::exists(world.dir / ("base/in/" + name))) return false;
  for (const auto& e : fs::directory_iterator(world.dir / "base/queue"))
    if (e.path().extension() == ".ticket") return false;
  return true;
}

// More tickets in one batch than the server answers on one connection: the server closes the
// kept-alive connection after its 1,000th request, and zel goes on over a new one within the same
// batch. Every upload is posted once and every listed file fetched and removed once, all before
// the second list retrieval: nothing waits for a later pass or a later list because of the close.
TEST(Exchange, ABatchLongerThanTheServersConnectionsIsWorkedInOnePass) {
  ZEL_REQUIRE_TEST_KNOBS();
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  GTEST_SKIP() << "load runs in the optimised build only";
#endif
  test::WorldOptions options;
  options.requestsPerConnection = 1000;
  test::ExchangeWorld world(options);
  constexpr int kEach = 1100;
  std::map<std::string, std::string> up, down;
  for (int i = 0; i < kEach; ++i) {
    const std::string id = "a-" + std::to_string(i), name = "down" + std::to_string(i) + ".xml";
    up[id] = world.Drop("up" + std::to_string(i) + ".xml", "PID-A", id, 200);
    down[name] = test::ExchangeWorld::Envelope("PID-A", "d-" + std::to_string(i), 200);
    world.PutInbox("alice", name, down[name]);
  }
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor([&] { return Settled(world, up, down); }, 240)) << world.Log().substr(0, 20000);
  zel->signal(SIGINT);
  EXPECT_EQ(zel->wait(), 0);
  CheckSettled(world, up, down);

  // The journal in order: every exchange answered before the second list, each exactly once.
  std::istringstream journal(world.Journal());
  std::map<std::string, int> posted, fetched, removed;
  int lists = 0;
  size_t afterSecondList = 0;
  for (std::string line; std::getline(journal, line);) {
    const bool aliceList = line.rfind("list ", 0) == 0 && Contains(line, " login=alice ");
    if (aliceList) ++lists;
    auto field = [&](const char* key) {
      const size_t at = line.find(key) + std::strlen(key);
      return line.substr(at, line.find(' ', at) - at);
    };
    if (line.rfind("post status=200 ", 0) == 0) ++posted[field(" id=")];
    if (line.rfind("get status=200 ", 0) == 0) ++fetched[field(" file=")];
    if (line.rfind("remove status=200 ", 0) == 0) ++removed[field(" file=")];
    if (lists >= 2 && line.rfind("list ", 0) != 0) ++afterSecondList;
  }
  EXPECT_EQ(afterSecondList, 0u) << "work left for a later list";
  for (const auto& [id, doc] : up) EXPECT_EQ(posted[id], 1) << id;
  for (const auto& [name, doc] : down) {
    EXPECT_EQ(fetched[name], 1) << name;
    EXPECT_EQ(removed[name], 1) << name;
  }
  // The closes happened, and cost nothing: no failed exchange, no deferral, no ticket written twice.
  const std::string log = world.Log();
  EXPECT_GE(Occurrences(log, "Reconnected to localhost:" + std::to_string(world.port)), 3u);
  for (const char* failure : {"Cannot receive server response", "Error while sending", "was not sent", "deferred",
                              "Cannot remove file", "Cannot reconnect"})
    EXPECT_EQ(Occurrences(log, failure), 0u) << failure << "\n" << AroundFirst(log, failure);
  EXPECT_EQ(Occurrences(log, "queued for delivery"), size_t(2 * kEach));
}

TEST(Exchange, ConnectionsCutAtRandomLoseNothing) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::WorldOptions options;
  options.chunked = true;
  options.chaos = 0.7;
  test::ExchangeWorld world(options);
  auto [up, down] = Traffic(world, 200);
  auto zel = world.StartZel();
  const bool settled = world.WaitFor([&] { return Settled(world, up, down); }, 240);
  EXPECT_EQ(zel->wait(std::chrono::milliseconds(0)), -1) << "zel never stopped";
  zel->signal(SIGINT);
  zel->wait();
  ASSERT_TRUE(settled) << world.Log().substr(0, 20000);
  CheckSettled(world, up, down);
  // How the cuts showed: handshakes, requests and bodies all broken somewhere along the way.
  // A run in which the relay cut nothing proves nothing: the relay cut both ways, handshakes were
  // broken, responses lost, and uploads posted again after a failed attempt.
  const std::string log = world.Log(), journal = world.Journal();
  for (const char* what : {"chaos cut=up", "chaos cut=down"}) {
    std::cout << what << ": " << Occurrences(journal, what) << "\n";
    EXPECT_GT(Occurrences(journal, what), 0u) << what;
  }
  for (const char* what : {"Channel doHandshake() failed", "Cannot receive server response", "was not sent"}) {
    std::cout << what << ": " << Occurrences(log, what) << "\n";
    EXPECT_GT(Occurrences(log, what), 0u) << what;
  }
  for (const char* what : {"partial download", "Server said 558", "Cannot remove file"})
    std::cout << what << ": " << Occurrences(log, what) << "\n";
}

TEST(Exchange, KilledAtRandomMomentsLosesNothing) {
  ZEL_REQUIRE_TEST_KNOBS();
  test::ExchangeWorld world(test::WorldOptions{});
  auto [up, down] = Traffic(world, 200);
  // A few documents too large for memory, so that kills also land while bodies spill to TMPDIR.
  for (int i = 0; i < 4; ++i) {
    const std::string id = "a-big" + std::to_string(i), name = "big" + std::to_string(i) + ".xml";
    up[id] = world.Drop("bigup" + std::to_string(i) + ".xml", "PID-A", id, 300000 + size_t(i));
    down[name] = test::ExchangeWorld::Envelope("PID-A", "d-big" + std::to_string(i), 400000 + size_t(i));
    world.PutInbox("alice", name, down[name]);
  }
  const std::string spill = world.dir / "spill";
  fs::create_directory(spill);
  const std::vector<std::string> env = {"TMPDIR=" + spill};
  // A kill lands mid-work when its run moved something and left work to do.
  auto progress = [&] {
    return std::to_string(world.Count("base/out")) + "/" + std::to_string(world.Count("base/queue")) + "/" +
           std::to_string(world.Count("base/in")) + "/" + std::to_string(world.Count("mb/alice/inbox")) + "/" +
           std::to_string(world.Count("mb/alice/posted")) + "/" + std::to_string(world.Count("mb/bob/posted"));
  };
  std::mt19937 rng(11);
  int kills = 0, midWork = 0;
  for (; kills < 30; ++kills) {
    if (kills > 0) {
      // More work before every run, so that however fast the runs are, kills still land mid-work.
      auto [moreUp, moreDown] = Traffic(world, 60, 200 + 60 * kills);
      up.merge(moreUp);
      down.merge(moreDown);
    }
    const std::string before = progress();
    auto zel = world.StartZel(env);
    if (kills % 2) {
      // Blind: any moment, start-up included.
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 300));
    } else {
      // Once this run has begun moving documents, however long start-up took.
      for (int i = 0; i < 1000 && progress() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 60));
    }
    zel->signal(SIGKILL);
    zel->wait();
    if (progress() != before && !Settled(world, up, down)) ++midWork;
  }
  auto zel = world.StartZel(env);
  const bool settled = world.WaitFor([&] { return Settled(world, up, down); }, 240);
  zel->signal(SIGINT);
  zel->wait();
  ASSERT_TRUE(settled) << world.Log().substr(0, 20000);
  CheckSettled(world, up, down);
  // Posts counted by the server: a re-post is only ever answered 558.
  const std::string journal = world.Journal();
  for (const auto& [id, doc] : up) {
    size_t ok = 0;
    for (size_t at = 0; (at = journal.find("post status=200 ", at)) != std::string::npos; ++at)
      if (journal.compare(journal.find(" id=", at) + 4, id.size() + 1, id + " ") == 0) ++ok;
    EXPECT_EQ(ok, 1u) << id;
  }
  std::cout << kills << " kills, " << midWork << " of them mid-work\n";
  EXPECT_GE(midWork, 8);
  // What the kills cut short is gone after the last start: no temporary file, no spill file.
  EXPECT_EQ(test::TemporaryLeftovers(world.dir / "base"), std::vector<std::string>{});
  EXPECT_EQ(test::CountFiles(spill), 0u) << "spill files";
}

}  // namespace
}  // namespace zel
