// zel run as an ordinary user (nobody) instead of root. The kernel then grants it no lease on a
// document another user owns, and a mailbox takes such a document only while nobody holds a flock
// on it and it stands still. And under the user's process limit a session thread cannot start: its
// connection is closed at once, logged, and its place among the capped sessions is free again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "common/TestKnobs.h"
#include "mail/MailerThread.h"
#include "tests/mail/MailWorld.h"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::MailWorld;
using test::RawClient;

// The number of messages STAT gives Alice in a new session, or -1 when the session fails.
int Count(int port) {
  RawClient client(port);
  if (client.Response().rfind("+OK", 0) != 0) return -1;
  client.Command("USER Alice");
  if (client.Command("PASS secretA").rfind("+OK", 0) != 0) return -1;
  const std::string stat = client.Command("STAT");
  client.Command("QUIT");
  return stat.rfind("+OK ", 0) == 0 ? std::atoi(stat.c_str() + 4) : -1;
}

// Counts sessions until `done` holds or `limit` passed; the last count.
int CountUntil(int port, const std::function<bool(int)>& done, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int count = Count(port);
  while (!done(count) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(200ms);
    count = Count(port);
  }
  return count;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Pop3NotRoot, AMailboxTakesAnotherUsersDocumentOnlyWhileNobodyHoldsOrChangesIt) {
  ZEL_REQUIRE_TEST_KNOBS();
  if (::geteuid() != 0) GTEST_SKIP() << "runs zel as the user nobody, which only root can do";
  MailWorld world;
  world.RunAsNobody();
  // root's documents, writable by everyone: nobody opens them but is granted no lease.
  std::vector<std::string> paths;
  for (const char* id : {"STILL", "HELD", "GROWING"}) {
    paths.push_back(world.Put("in/Alice", std::string(id) + ".xml", test::Document(id)));
    ::chmod(paths.back().c_str(), 0666);
  }
  const int held = ::open(paths[1].c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  std::atomic<bool> writing{true};
  std::atomic<int> appended{0};
  std::thread writer([&] {  // a writer that takes no lock at all
    while (writing) {
      std::ofstream(paths[2], std::ios::app) << "\n";
      ++appended;
      std::this_thread::sleep_for(50ms);
    }
  });
  auto zel = world.Start({"ZEL_TEST_TICK_MS=100"});

  // The still document is taken once an engine pass has seen it at rest; the other two never are.
  int count = CountUntil(
      world.pop3Port, [](int n) { return n >= 1; }, 30s);
  EXPECT_EQ(count, 1);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Count(world.pop3Port), 1);
  writing = false;
  writer.join();
  EXPECT_GE(appended.load(), 20) << "the writer wrote all along";
  ::close(held);
  count = CountUntil(
      world.pop3Port, [](int n) { return n == 3; }, 30s);
  ASSERT_EQ(count, 3) << "once left alone, both are taken";

  // And they go at QUIT, as under root.
  RawClient client(world.pop3Port);
  client.Response();
  client.Command("USER Alice");
  ASSERT_EQ(client.Command("PASS secretA"), "+OK Authenticated\r\n");
  for (const char* n : {"1", "2", "3"}) EXPECT_EQ(client.Command(std::string("DELE ") + n), "+OK Message deleted\r\n");
  EXPECT_EQ(client.Command("QUIT"), "+OK Bye\r\n");
  for (const auto& path : paths) EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

TEST(Pop3NotRoot, ASessionThreadThatCannotStartClosesItsConnectionAndFreesItsPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs zel as the user nobody, which only root can do";
  MailWorld world;
  world.RunAsNobody();
  auto zel = world.Start();
  ASSERT_TRUE(MailWorld::Listening(world.pop3Port)) << test::ReadFile(world.dir / "zel.out");
  // zel's own threads already reach a limit of one process for the user: no thread can start. Set
  // as the user itself (root may lack the right to change another user's limits), the soft limit
  // only, so that it can be raised again.
  const std::string prlimit = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups -- /usr/bin/prlimit --pid " +
                              std::to_string(zel->pid());
  const std::string limits = test::ReadFile("/proc/" + std::to_string(zel->pid()) + "/limits");
  std::istringstream row(limits.substr(limits.find("Max processes") + 13));
  std::string soft, hard;
  row >> soft >> hard;
  ASSERT_EQ(std::system((prlimit + " --nproc=1:").c_str()), 0);
  const int tries = kMaxMailSessions + 6;
  for (int i = 0; i < tries; ++i) {
    RawClient client(i % 2 ? world.smtpPort : world.pop3Port);
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.ClosedWithin(5000)) << i;
    EXPECT_EQ(client.pending(), "") << i << ": closed without a word";
  }
  const std::string failure = "Cannot start a mail session for 127.0.0.1:";
  EXPECT_TRUE(world.WaitFor([&] { return Occurrences(world.Log(), failure) >= size_t(tries); }, 10))
      << Occurrences(world.Log(), failure);
  // With threads allowed again, every place is free: more than the cap have failed, yet both
  // services greet a new client.
  ASSERT_EQ(std::system((prlimit + " --nproc=" + hard + ":").c_str()), 0);
  RawClient pop3(world.pop3Port), smtp(world.smtpPort);
  EXPECT_EQ(pop3.Response().rfind("+OK ZEL POP3 service", 0), 0u);
  EXPECT_EQ(smtp.Response().rfind("220 ZEL SMTP service", 0), 0u);
}

}  // namespace
}  // namespace zel
