#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "mail/Mailbox.h"
#include "tests/TestSupport.h"
#include "tests/mail/MailTestSupport.h"

namespace zel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Line = MailSession::Line;

TEST(MailSession, FindsATerminatorSplitAtEveryPointAcrossTwoReceives) {
  for (const std::string terminator : {"\r\n", "\r\n.\r\n"}) {
    const std::string text = "BODY" + terminator + "NEXT";
    for (size_t cut = 1; cut < text.size(); ++cut) {
      test::SessionPair pair;
      std::string line;
      pair.Send(text.substr(0, cut));
      Line first = pair.session->readLine(terminator, line);
      if (cut < 4 + terminator.size()) {
        ASSERT_EQ(first, Line::kNotYet) << cut;
        pair.Send(text.substr(cut));
        ASSERT_EQ(pair.session->readLine(terminator, line), Line::kComplete) << cut;
      } else {
        ASSERT_EQ(first, Line::kComplete) << cut;
      }
      EXPECT_EQ(line, "BODY");
    }
  }
}

TEST(MailSession, APipelinedSecondCommandIsDroppedWithTheInput) {
  test::SessionPair pair;
  std::string line;
  pair.Send("NOOP\r\nSTAT\r\n");
  ASSERT_EQ(pair.session->readLine("\r\n", line), Line::kComplete);
  EXPECT_EQ(line, "NOOP");
  pair.session->clearInput();
  EXPECT_EQ(pair.session->input().length(), 0);
}

TEST(MailSession, ALineEndsAtANulByteAndAClosedPeerEndsTheSession) {
  test::SessionPair pair;
  std::string line;
  pair.Send(std::string("USER a\0b\r\n", 10));
  ASSERT_EQ(pair.session->readLine("\r\n", line), Line::kComplete);
  EXPECT_EQ(line, "USER a");
  pair.session->clearInput();
  pair.ClosePeer();
  EXPECT_EQ(pair.session->readLine("\r\n", line), Line::kEnd);
}

TEST(MailSession, AReplyIsCutAt32767Characters) {
  test::SessionPair pair;
  std::thread reader([&] { EXPECT_EQ(pair.Receive().size(), 32767u); });
  EXPECT_TRUE(pair.session->reply("%s", std::string(40000, 'x').c_str()));
  reader.join();
}

TEST(MailSession, StopEndsAWaitingReadAndAStalledWriteWithinASlice) {
  auto shared = std::make_shared<MailerShared>();
  test::SessionPair pair({}, {}, shared);
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    shared->stopping = true;
  });
  auto start = Clock::now();
  ASVariableBuffer into;
  EXPECT_EQ(pair.session->readSome(into), 0);
  EXPECT_LT(Clock::now() - start, 1s);
  stopper.join();

  shared->stopping = false;
  std::thread again([&] {
    std::this_thread::sleep_for(300ms);
    shared->stopping = true;
  });
  start = Clock::now();
  const std::string lots(8 << 20, 'y');  // more than a socket pair holds; the peer reads nothing
  EXPECT_EQ(pair.session->writeAll(lots.data(), int64_t(lots.size())), 0);
  EXPECT_LT(Clock::now() - start, 1s);
  again.join();
}

TEST(MailSession, CommandSplitKeepsEverythingAfterTheFirstSpace) {
  struct Case {
    std::string line, word;
    std::optional<std::string> argument;
  } cases[] = {
      {"STAT", "STAT", std::nullopt}, {"LIST ", "LIST", ""},
      {"TOP 1 10", "TOP", "1 10"},    {"USER  two spaces ", "USER", " two spaces "},
      {"", "", std::nullopt},
  };
  for (const auto& c : cases) {
    MailCommand command = SplitCommand(c.line);
    EXPECT_EQ(command.word, c.word) << c.line;
    EXPECT_EQ(command.argument, c.argument) << c.line;
  }
}

TEST(MailSession, AuthenticationIgnoresTheLoginsCaseNotThePasswordsAndTheLastMatchWins) {
  auto first = test::Account("Alice", "secret", "P1"), second = test::Account("ALICE", "secret", "P2");
  auto undecryptable = test::Account("bob", "x");
  undecryptable->plainPassword.reset();
  test::SessionPair pair({first, undecryptable, second});
  EXPECT_TRUE(AuthenticateUser(*pair.session, std::string("aLiCe"), SecretString("secret"), "POP3"));
  EXPECT_EQ(pair.session->account, second);

  auto start = Clock::now();
  EXPECT_FALSE(AuthenticateUser(*pair.session, std::string("alice"), SecretString("SECRET"), "POP3"));
  EXPECT_EQ(pair.session->account, nullptr);
  EXPECT_GE(Clock::now() - start, 1900ms) << "a failed login answers only after 2 s";
  EXPECT_FALSE(AuthenticateUser(*pair.session, std::string("bob"), SecretString(""), "POP3"));
  EXPECT_FALSE(AuthenticateUser(*pair.session, std::nullopt, SecretString("secret"), "POP3"));
}

TEST(MailSession, TheMailboxLockIsPerLowerCasedLogin) {
  MailboxLocks locks;
  EXPECT_TRUE(locks.tryLock("Alice"));
  EXPECT_FALSE(locks.tryLock("aLICE"));
  EXPECT_TRUE(locks.tryLock("bob"));
  locks.unlock("ALICE");
  EXPECT_TRUE(locks.tryLock("alice"));
}

// A large document's envelope is read once and kept with the file's identity; a change the size
// and modification time do not show (the same bytes rewritten in place, the time set back) is seen
// all the same, by the change time.
TEST(Mailbox, AKeptEnvelopeServesOnlyTheUnchangedFile) {
  test::ScratchDir dir;
  CPConfigPaths folders;
  folders.Inbound = dir.path();
  test::SessionPair pair({}, folders);
  pair.session->account = test::Account("alice", "pw");
  const std::string path = dir / "big.xml";
  auto document = [](const char* id) {
    return std::string("<Envelope><RoutingInf><EnvelopeID>") + id +
           "</EnvelopeID><SenderInformation>smtp://h/s</SenderInformation><ReceiverInformation>smtp://r/t"
           "</ReceiverInformation></RoutingInf><Body>" +
           std::string(size_t(EnvelopeCache::kSmallest), 'b') + "</Body></Envelope>";
  };
  test::WriteFile(path, document("ID-A"));
  auto uid = [&] {
    Pop3Messages messages = LoadMailbox(*pair.session);
    return messages.size() == 1 ? messages.begin()->second->uid.value_or("") : "";
  };
  EXPECT_EQ(uid(), "ID-A");
  EXPECT_EQ(uid(), "ID-A");
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::this_thread::sleep_for(20ms);  // a change time of its own
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::pwrite(fd, "B", 1, 37), 1);  // "ID-A" becomes "ID-B"
  ::close(fd);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(uid(), "ID-B");
}

}  // namespace
}  // namespace zel
