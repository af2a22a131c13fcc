// The mail gateway inside zel as a real process: stop with clients connected, the idle limit,
// deletion only of the file that was offered, a busy SMTP port, and a flood of clients while the
// exchange goes on against the test exchange server.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/engine/ExchangeWorld.h"
#include "tests/mail/MailWorld.h"

namespace zel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::MailWorld;
using test::RawClient;

void Login(RawClient& client, const std::string& user = "Alice", const std::string& password = "secretA") {
  ASSERT_EQ(client.Response().compare(0, 3, "+OK"), 0);
  ASSERT_EQ(client.Command("USER " + user), "+OK PASS please\r\n");
  ASSERT_EQ(client.Command("PASS " + password), "+OK Authenticated\r\n");
}

TEST(MailGateway, StopEndsEverySessionWithinASliceAndTheServiceWithinTwoSeconds) {
  MailWorld world;
  world.Put("in/Alice", "one.xml", test::Document("ENV-1"));
  auto zel = world.Start();
  RawClient reading(world.pop3Port), idle(world.pop3Port);
  Login(reading);
  ASSERT_EQ(idle.Response().compare(0, 3, "+OK"), 0);
  ASSERT_EQ(reading.Command("DELE 1"), "+OK Message deleted\r\n");
  const auto stop = Clock::now();
  zel->signal(SIGTERM);
  EXPECT_TRUE(reading.ClosedWithin(1000));
  EXPECT_TRUE(idle.ClosedWithin(1000));
  EXPECT_LT(Clock::now() - stop, 1000ms) << "both sessions saw the stop within about one slice";
  EXPECT_EQ(zel->wait(5s), 0);
  EXPECT_LT(Clock::now() - stop, 2000ms);
  const std::string log = world.Log();
  ASSERT_TRUE(MailWorld::Contains(log, "Mailer thread stopped\r\n")) << log;
  EXPECT_LT(log.find("Mailer thread stopped"), log.find(" stopped\r\n", log.find("Mailer thread stopped") + 10));
  EXPECT_TRUE(std::filesystem::exists(world.dir / "base/in/Alice/one.xml")) << "only QUIT deletes";
}

TEST(MailGateway, ASilentClientIsDisconnectedAfterTenSecondsWithoutAReply) {
  MailWorld world;
  auto zel = world.Start();
  RawClient client(world.pop3Port);
  EXPECT_EQ(client.Response(), "+OK ZEL POP3 service 2.1.0444 ready\r\n");
  const auto start = Clock::now();
  EXPECT_TRUE(client.ClosedWithin(15000));
  EXPECT_GT(Clock::now() - start, 9500ms);
  EXPECT_EQ(client.pending(), "");
}

TEST(MailGateway, QuitDeletesOnlyTheFileThatWasOfferedAndUidsWithoutEnvelopeIdAreStable) {
  MailWorld world;
  const std::string replaced = world.Put("in/Alice", "replaced.xml", test::Document("ENV-1"));
  const std::string plain = world.Put("in/Alice", "plain.xml", test::Document("ENV-2"));
  world.Put("in/Alice", "noid.xml", test::Document(""));
  auto zel = world.Start();
  std::string uid;
  for (int session = 0; session < 2; ++session) {
    RawClient client(world.pop3Port);
    Login(client);
    const std::string line = client.Command("UIDL 3");
    ASSERT_EQ(line.compare(0, 12, "+OK 3 nouid-"), 0) << line;
    ASSERT_EQ(line.size(), std::string("+OK 3 nouid-").size() + 32 + 2) << line;
    if (session == 0) uid = line;
    EXPECT_EQ(line, uid) << "the same in every session";
    client.Command("QUIT");
  }
  RawClient client(world.pop3Port);
  Login(client);
  ASSERT_EQ(client.Command("DELE 1"), "+OK Message deleted\r\n");
  ASSERT_EQ(client.Command("DELE 2"), "+OK Message deleted\r\n");
  // The engine delivers a new document under the same name meanwhile.
  const std::string fresh = test::Document("ENV-1-AGAIN");
  test::WriteFile(replaced + ".new", fresh);
  std::filesystem::rename(replaced + ".new", replaced);
  EXPECT_EQ(client.Command("QUIT"), "+OK Bye\r\n");
  EXPECT_EQ(test::ReadFile(replaced), fresh) << "never deleted unseen";
  EXPECT_FALSE(std::filesystem::exists(plain));
  const std::string log = world.Log();
  EXPECT_TRUE(MailWorld::Contains(log, "File " + replaced + " was replaced after it was offered and is kept\r\n"));
  EXPECT_TRUE(MailWorld::Contains(log, "Unable to delete file " + replaced + "\r\n"));
  EXPECT_TRUE(MailWorld::Contains(log, "File " + plain + " deleted\r\n"));
}

// The exchange world of the engine's tests, with the mail gateway on.
void EnableMail(test::ExchangeWorld& world, int smtpPort, int pop3Port) {
  std::string config = test::ReadFile(world.dir / "base/config.xml");
  config.insert(config.rfind("</config>"), "<Mailserver enabled='true' smtp_port='" + std::to_string(smtpPort) +
                                               "' pop3_port='" + std::to_string(pop3Port) + "'/>");
  test::WriteFile(world.dir / "base/config.xml", config);
}

TEST(MailGateway, ABusySmtpPortLeavesPop3ClosedAndTheExchangeRunning) {
  test::ExchangeWorld world({});
  // Our own listener holds the SMTP port.
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  socklen_t n = sizeof at;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::listen(holder, 1);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&at), &n);
  const int smtpPort = ntohs(at.sin_port);
  int pop3Port = test::FreePort();
  while (pop3Port == smtpPort) pop3Port = test::FreePort();
  EnableMail(world, smtpPort, pop3Port);
  const std::string sent = world.Drop("up.xml", "PID-A", "ENV-UP");
  world.PutInbox("alice", "down.xml", test::ExchangeWorld::Envelope("PID-A", "ENV-DOWN", 10));
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor([&] { return !world.Posted("alice", "ENV-UP").empty(); }, 30)) << world.Log();
  ASSERT_TRUE(world.WaitFor([&] { return std::filesystem::exists(world.dir / "base/in/down.xml"); }, 30));
  EXPECT_EQ(world.Posted("alice", "ENV-UP"), sent);
  const std::string log = world.Log();
  const std::string bindError =
      "Cannot bind SMTP service to port " + std::to_string(smtpPort) + ", error 0x00000062\r\n";
  EXPECT_TRUE(test::Contains(log, bindError)) << log;
  EXPECT_EQ(log.find("Cannot bind"), log.rfind("Cannot bind")) << "one error line";
  EXPECT_FALSE(test::Contains(log, "POP3 service")) << log;
  EXPECT_TRUE(test::Contains(log, "Mailer thread stopped\r\n"));
  RawClient pop3(pop3Port);
  EXPECT_FALSE(pop3.connected()) << "POP3 is not opened";
  ::close(holder);
  zel->signal(SIGTERM);
  EXPECT_EQ(zel->wait(), 0);
}

// Threads and open descriptors of a process.
size_t Threads(pid_t pid) { return test::CountFiles("/proc/" + std::to_string(pid) + "/task"); }
size_t Descriptors(pid_t pid) { return test::CountFiles("/proc/" + std::to_string(pid) + "/fd"); }

// The threads and descriptors of zel between two exchanges, once its queue is empty: a batch of the
// exchange has helper threads and a connection of its own while it runs.
std::pair<size_t, size_t> AtRest(test::ExchangeWorld& world, pid_t pid) {
  std::pair<size_t, size_t> seen{0, 0};
  int still = 0;
  world.WaitFor(
      [&] {
        const std::pair<size_t, size_t> now{Threads(pid), Descriptors(pid)};
        still = now == seen ? still + 1 : 0;
        seen = now;
        return world.Count("base/queue") == 0 && still >= 10;
      },
      10);
  return seen;
}

TEST(MailGateway, TwoHundredClientsAtOnceWhileTheExchangeGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
  GTEST_SKIP() << "load runs in the optimised build only";
#endif
  test::ExchangeWorld world({});
  const int smtpPort = test::FreePort();
  int pop3Port = test::FreePort();
  while (pop3Port == smtpPort) pop3Port = test::FreePort();
  EnableMail(world, smtpPort, pop3Port);
  // Forty more accounts for the mail clients, five clients each.
  std::string config = test::ReadFile(world.dir / "base/config.xml"), accounts;
  for (int i = 0; i < 40; ++i) {
    const std::string login = "u" + std::to_string(i);
    accounts += "<Account name='" + login + "' ParticipantID='P" + std::to_string(i) + "' login='" + login +
                "' password='" + *EncryptText(login, std::string_view("pw" + login)) + "'/>";
  }
  config.insert(config.find("</Accounts>"), accounts);
  test::WriteFile(world.dir / "base/config.xml", config);
  for (int i = 0; i < 3; ++i)
    test::WriteFile(world.dir / ("base/in/m" + std::to_string(i) + ".xml"),
                    test::Document("M" + std::to_string(i), std::string(4000 * (i + 1), 'z')));
  auto zel = world.StartZel();
  ASSERT_TRUE(world.WaitFor([&] { return MailWorld::Listening(pop3Port); }, 10));
  const std::string first = world.Drop("first.xml", "PID-A", "ENV-FIRST");
  ASSERT_TRUE(world.WaitFor([&] { return !world.Posted("alice", "ENV-FIRST").empty(); }, 30)) << world.Log();
  const auto [threads, descriptors] = AtRest(world, zel->pid());

  std::atomic<int> completed{0}, locked{0}, refused{0}, failed{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> clients;
  std::mutex failureLock;
  std::string failures;
  for (int c = 0; c < 200; ++c) {
    clients.emplace_back([&, c] {
      while (!go) std::this_thread::yield();
      // Connections come 2 ms apart and sessions last about a second, so all are open at once
      // without a burst that would overflow the kernel's accept queue (whose overflow drops in
      // silence, leaving a client to the SYN retries).
      std::this_thread::sleep_for(std::chrono::milliseconds(2 * c));
      auto fail = [&](const std::string& what) {
        ++failed;
        std::lock_guard<std::mutex> hold(failureLock);
        failures += std::to_string(c) + ": " + what + "\n";
      };
      RawClient client(pop3Port);
      if (!client.connected()) return fail("connect");
      const auto asked = Clock::now();
      const std::string greeting = client.Response(false, 20000);
      const long waited = long((Clock::now() - asked) / 1ms);
      if (greeting == "-ERR Too many connections, try again later\r\n") {
        if (!client.ClosedWithin(5000)) return fail("refused but left open");
        ++refused;
        return;
      }
      if (greeting != "+OK ZEL POP3 service 2.1.0444 ready\r\n")
        return fail("greeting " + greeting + " after " + std::to_string(waited) + " ms");
      const std::string login = "u" + std::to_string(c % 40);
      if (client.Command("USER " + login) != "+OK PASS please\r\n") return fail("USER");
      const std::string pass = client.Command("PASS pw" + login);
      if (pass == "-ERR Mailbox already locked in\r\n") {
        ++locked;
        std::this_thread::sleep_for(500ms);
        client.Command("QUIT");
        return;
      }
      if (pass != "+OK Authenticated\r\n") return fail("PASS " + pass);
      std::this_thread::sleep_for(500ms);
      // A document another session holds at the moment of this login is not offered, so a mailbox
      // may hold fewer than all three.
      const std::string stat = client.Command("STAT");
      if (stat.compare(0, 4, "+OK ") != 0) return fail("STAT");
      const long offered = std::atol(stat.c_str() + 4);
      const std::string uidl = client.Command("UIDL", true);
      if (client.Command("LIST", true).find("\r\n.\r\n") == std::string::npos) return fail("LIST");
      if (uidl.compare(0, 3, "+OK") != 0 || (offered > 0 && uidl.find(" M") == std::string::npos))
        return fail("UIDL " + uidl);
      if (offered == 0) {
        if (client.Command("QUIT") != "+OK Bye\r\n") return fail("QUIT");
        ++completed;
        return;
      }
      // Every account reads the same inbound folder: while another session sends the document it
      // is held exclusively, and RETR answers an error; a client tries again.
      std::string retr = client.Command("RETR 1", true);
      for (int again = 0; again < 50 && retr.rfind("-ERR ", 0) == 0; ++again) {
        std::this_thread::sleep_for(20ms);
        retr = client.Command("RETR 1", true);
      }
      const long octets = std::atol(retr.c_str() + 4);
      if (retr.compare(0, 4, "+OK ") != 0 || retr.size() != retr.find("\r\n") + 2 + size_t(octets) + 2 + 3)
        return fail("RETR " + retr.substr(0, 40));
      if (client.Command("QUIT") != "+OK Bye\r\n") return fail("QUIT");
      ++completed;
    });
  }
  // While the clients come, documents keep travelling both ways.
  const std::string during = world.Drop("during.xml", "PID-A", "ENV-DURING");
  world.PutInbox("alice", "down.xml", test::ExchangeWorld::Envelope("PID-A", "ENV-DOWN", 10));
  go = true;
  for (auto& t : clients) t.join();
  EXPECT_EQ(failed, 0) << failures;
  EXPECT_EQ(completed + locked + refused, 200);
  EXPECT_GT(completed, 0);
  EXPECT_TRUE(world.WaitFor([&] { return world.Posted("alice", "ENV-DURING") == during; }, 30));
  EXPECT_TRUE(world.WaitFor([&] { return std::filesystem::exists(world.dir / "base/in/down.xml"); }, 30));
  EXPECT_EQ(AtRest(world, zel->pid()), std::make_pair(threads, descriptors)) << "threads and descriptors, as before";
  std::printf("%d completed, %d found their mailbox locked, %d refused\n", completed.load(), locked.load(),
              refused.load());
  zel->signal(SIGTERM);
  EXPECT_EQ(zel->wait(), 0);
}

}  // namespace
}  // namespace zel
