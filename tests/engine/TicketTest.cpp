#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/CPConfig.h"
#include "config/XmlDepthLimit.h"
#include "engine/CPTicket.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

class Tickets : public testing::Test {
 protected:
  void SetUp() override {
    events = test::EventRecorder::Install();
    fs::create_directory(dir / "queue");
    config.paths.Queue = dir / "queue";
  }
  void TearDown() override { SetEventSink(nullptr); }
  void Account(const char* pid, const char* login, int hostid) {
    auto a = std::make_shared<CPConfigAccount>();
    a->ParticipantID = pid;
    a->login = login;
    a->hostid = hostid;
    config.accounts.push_back(a);
  }
  test::ScratchDir dir;
  CPConfig config;
  std::shared_ptr<test::EventRecorder> events;
};

TEST_F(Tickets, RoundTripAndExactText) {
  const std::string data = dir / "queue/R&D \"2024\" <x>:part.one.xml";
  auto made = CreateTicket(CPTicket::kUpload, std::string("P&1"), std::string("E<1>"), std::string("log\"in"),
                           dir / "queue", data);
  ASSERT_TRUE(made);
  EXPECT_EQ(*made->TicketFile, dir / "queue/R&D \"2024\" <x>-part.one.ticket") << "colons become hyphens";
  const std::string text = test::ReadFile(*made->TicketFile);
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<ticket>\r\n"
            "    <TicketAction value=\"2\" />\r\n"
            "    <TicketFile value=\"" +
                dir.path() +
                "/queue/R&amp;D &quot;2024&quot; &lt;x>-part.one.ticket\" />\r\n"
                "    <OutboundFile value=\"" +
                dir.path() +
                "/queue/R&amp;D &quot;2024&quot; &lt;x>:part.one.xml\" />\r\n"
                "    <ParticipantID value=\"P&amp;1\" />\r\n"
                "    <EnvelopeID value=\"E&lt;1>\" />\r\n"
                "    <Login value=\"log&quot;in\" />\r\n"
                "    <OriginalFilename value=\"R&amp;D &quot;2024&quot; &lt;x>:part.one.xml\" />\r\n"
                "    <SendTime value=\"" +
                std::to_string(made->SendTime) +
                "\" />\r\n"
                "</ticket>");
  CPTicket read;
  ASSERT_TRUE(LoadTicket(*made->TicketFile, read));
  EXPECT_EQ(read.TicketAction, 2);
  EXPECT_EQ(read.TicketFile, made->TicketFile);
  EXPECT_EQ(read.OutboundFile, data);
  EXPECT_EQ(read.ParticipantID, "P&1");
  EXPECT_EQ(read.EnvelopeID, "E<1>");
  EXPECT_EQ(read.Login, "log\"in");
  EXPECT_EQ(read.OriginalFilename, "R&D \"2024\" <x>:part.one.xml");
  EXPECT_EQ(read.SendTime, made->SendTime);

  const std::string longName = std::string(200, 'n') + ".xml";
  auto download = CreateTicket(CPTicket::kDownload, std::string("P"), std::nullopt, std::nullopt, dir / "queue",
                               dir / "in/" + longName);
  ASSERT_TRUE(download);
  CPTicket d;
  ASSERT_TRUE(LoadTicket(*download->TicketFile, d));
  EXPECT_EQ(d.EnvelopeID, std::nullopt);
  EXPECT_EQ(d.Login, std::nullopt);
  EXPECT_EQ(d.OriginalFilename, longName);
  EXPECT_EQ(CreateTicket(1, std::nullopt, std::nullopt, std::nullopt, dir / "queue", dir / "in/x.xml"), nullptr);
  EXPECT_EQ(CreateTicket(1, std::string("P"), std::nullopt, std::nullopt, dir / "queue", dir / "in/"), nullptr)
      << "no name, no ticket";
}

TEST_F(Tickets, BadFilesAreReportedEmptyOnesKeptBrokenOnesDeleted) {
  test::WriteFile(dir / "queue/empty.ticket", "");
  test::WriteFile(dir / "queue/broken.ticket", "<ticket><TicketAction value=\"2\"");
  CPTicket t;
  EXPECT_FALSE(LoadTicket(dir / "queue/empty.ticket", t));
  EXPECT_TRUE(fs::exists(dir / "queue/empty.ticket"));
  EXPECT_FALSE(LoadTicket(dir / "queue/broken.ticket", t));
  EXPECT_FALSE(fs::exists(dir / "queue/broken.ticket"));
  EXPECT_EQ(events->messages(),
            "E:Unable to parse ticket file " + (dir / "queue/broken.ticket") + "\nunclosed token\n");
  EXPECT_FALSE(LoadTicket(dir / "queue/none.ticket", t));
}

TEST_F(Tickets, NestingBeyondTheLimitIsAParseError) {
  auto nested = [](int depth) {
    std::string pad, unpad;
    for (int i = 2; i < depth; ++i) pad += "<n>", unpad += "</n>";
    return "<ticket>" + pad + "<ParticipantID value='P'/>" + unpad + "</ticket>";
  };
  test::WriteFile(dir / "queue/deepest.ticket", nested(kMaxXmlDepth));
  CPTicket deepest;
  ASSERT_TRUE(LoadTicket(dir / "queue/deepest.ticket", deepest));
  EXPECT_EQ(deepest.ParticipantID, "P");
  test::WriteFile(dir / "queue/deeper.ticket", nested(kMaxXmlDepth + 1));
  CPTicket deeper;
  EXPECT_FALSE(LoadTicket(dir / "queue/deeper.ticket", deeper));
  EXPECT_FALSE(fs::exists(dir / "queue/deeper.ticket"));
  EXPECT_EQ(events->messages(), "E:Unable to parse ticket file " + (dir / "queue/deeper.ticket") +
                                    "\nelements nested deeper than 256 levels\n");
}

TEST_F(Tickets, MissingElementsAndAForeignTicketPath) {
  test::WriteFile(dir / "queue/bare.ticket", "<ticket><ParticipantID VALUE='P'/><Other value='x'/></ticket>");
  CPTicket bare;
  ASSERT_TRUE(LoadTicket(dir / "queue/bare.ticket", bare));
  EXPECT_EQ(bare.TicketAction, 0) << "missing action reads as 0";
  EXPECT_EQ(bare.SendTime, 0u) << "missing time: due";
  EXPECT_FALSE(bare.TicketFile);
  EXPECT_FALSE(DeferTicket(bare, 120));
  EXPECT_FALSE(RemoveTicket(bare));
  EXPECT_TRUE(fs::exists(dir / "queue/bare.ticket"));

  test::WriteFile(dir / "victim.txt", "keep me");
  test::WriteFile(dir / "queue/evil.ticket",
                  "<ticket><TicketFile value='" + (dir / "victim.txt") + "'/><ParticipantID value='P'/></ticket>");
  CPTicket evil;
  ASSERT_TRUE(LoadTicket(dir / "queue/evil.ticket", evil));
  EXPECT_FALSE(evil.TicketFile) << "a ticket path outside the queue folder is not taken";
  EXPECT_FALSE(RemoveTicket(evil));
  EXPECT_EQ(test::ReadFile(dir / "victim.txt"), "keep me");
}

TEST_F(Tickets, DueTicketsComeOldestFirstInTwoBatches) {
  Account("P1", "alice", 0);
  Account("P2", "bob", 3);
  auto make = [&](const char* name, const char* pid, std::optional<std::string> login, time_t access) {
    test::WriteFile(dir / (std::string("queue/") + name + ".xml"), "data");
    auto t = CreateTicket(CPTicket::kUpload, std::string(pid), std::nullopt, login, dir / "queue",
                          dir / (std::string("queue/") + name + ".xml"));
    timespec times[2] = {{access, 0}, {UTIME_OMIT, 0}};
    utimensat(AT_FDCWD, t->TicketFile->c_str(), times, 0);
    return t;
  };
  make("third", "p1", std::nullopt, 3000);
  make("first", "P2", std::nullopt, 1000);
  make("second", "ignored", std::string("ALICE"), 2000);
  make("orphan", "P9", std::nullopt, 500);
  auto later = make("later", "P1", std::nullopt, 100);
  ASSERT_TRUE(DeferTicket(*later, 300));
  DueTickets due = LoadDueTickets(config);
  EXPECT_TRUE(due.any);
  ASSERT_EQ(due.batchA.size(), 2u);
  EXPECT_EQ(due.batchA[0]->OriginalFilename, "second.xml") << "found by login, case ignored";
  EXPECT_EQ(due.batchA[1]->OriginalFilename, "third.xml");
  ASSERT_EQ(due.batchB.size(), 1u);
  EXPECT_EQ(due.batchB[0]->OriginalFilename, "first.xml");
  EXPECT_TRUE(fs::exists(dir / "queue/orphan.ticket")) << "no account: waits, silently";
  EXPECT_TRUE(RemoveTicket(*due.batchB[0]));
  EXPECT_FALSE(fs::exists(dir / "queue/first.ticket"));
  EXPECT_TRUE(fs::exists(dir / "queue/first.xml")) << "the data file is not touched";
}

TEST_F(Tickets, ListedTwiceLeavesOneDueTicket) {
  Account("P1", "alice", 0);
  auto first =
      CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::nullopt, dir / "queue", dir / "in/x.xml");
  ASSERT_TRUE(DeferTicket(*first, 600));
  ASSERT_TRUE(CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::nullopt, dir / "queue",
                           dir / "in/x.xml"));
  DueTickets due = LoadDueTickets(config);
  ASSERT_EQ(due.batchA.size(), 1u);
  EXPECT_EQ(test::CountFiles(dir / "queue"), 1u);
}

}  // namespace
}  // namespace zel
