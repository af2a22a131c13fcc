#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "config/CPConfig.h"
#include "config/XmlDepthLimit.h"
#include "document/FilePlacement.h"
#include "engine/CPTicket.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

// Keeps the file-channel lines while installed.
class LogLines : public LogWriter {
 public:
  explicit LogLines(std::shared_ptr<std::string> all) : all_(std::move(all)) {}
  void writeLine(std::string_view line) override { *all_ += line; }

 private:
  std::shared_ptr<std::string> all_;
};

class Tickets : public testing::Test {
 protected:
  void SetUp() override {
    events = test::EventRecorder::Install();
    AttachLogFile(std::make_unique<LogLines>(log));
    fs::create_directory(dir / "queue");
    config.paths.Queue = dir / "queue";
  }
  void TearDown() override {
    SetEventSink(nullptr);
    AttachLogFile(nullptr);
  }
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
  std::shared_ptr<std::string> log = std::make_shared<std::string>();
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

TEST_F(Tickets, TabCrAndLfTravelAsCharacterReferences) {
  const std::string name = "t\tab\r\nx.xml";
  auto made = CreateTicket(CPTicket::kDownload, std::string("P\t1"), std::nullopt, std::string("alice"), dir / "queue",
                           dir / ("in/" + name));
  ASSERT_TRUE(made);
  const std::string text = test::ReadFile(*made->TicketFile);
  EXPECT_TRUE(Has(text, "<OriginalFilename value=\"t&#9;ab&#13;&#10;x.xml\" />\r\n")) << text;
  EXPECT_TRUE(Has(text, "<ParticipantID value=\"P&#9;1\" />\r\n"));
  CPTicket read;
  ASSERT_TRUE(LoadTicket(*made->TicketFile, read));
  EXPECT_EQ(read.OriginalFilename, name);
  EXPECT_EQ(read.OutboundFile, dir / ("in/" + name));
  EXPECT_EQ(read.ParticipantID, "P\t1");
  EXPECT_EQ(read.TicketFile, made->TicketFile);
  EXPECT_TRUE(RemoveTicket(read)) << "the ticket can remove itself";
  EXPECT_EQ(test::CountFiles(dir / "queue"), 0u);
  // A value no ticket can carry is never written, so no ticket is ever deleted as broken.
  EXPECT_EQ(CreateTicket(CPTicket::kUpload, std::string("P"), std::string("E\x01"), std::nullopt, dir / "queue",
                         dir / "queue/e.xml"),
            nullptr);
  EXPECT_EQ(test::CountFiles(dir / "queue"), 0u);
  EXPECT_TRUE(Has(*log, "Cannot write ticket file " + (dir / "queue/e.ticket"))) << *log;
}

TEST(TicketNames, WhatATicketCanCarry) {
  const std::pair<const char*, bool> cases[] = {
      {"plain.xml", true},
      {"tab\tcr\rlf\n.xml", true},
      {"\xD0\xA1\xD0\xBE\xD0\xBE\xD0\xB1\xD1\x89.xml", true},  // Cyrillic
      {"\xF0\x9F\x93\x84.xml", true},                          // beyond the first plane
      {"%2e%2e%2fx.xml", true},
      {"ctl\x01.xml", false},
      {"del\x1f.xml", false},
      {"bad\xFF.xml", false},
      {"cut\xD0", false},
      {"overlong\xC0\xAF.xml", false},
      {"surrogate\xED\xA0\x80.xml", false},
      {"nonchar\xEF\xBF\xBE.xml", false},
      {"toohigh\xF4\x90\x80\x80.xml", false},
  };
  for (const auto& [name, carried] : cases) EXPECT_EQ(TicketCanCarry(name), carried) << name;
  EXPECT_FALSE(TicketCanCarry(std::string("nul\0.xml", 8)));
}

// A ticket or a queued document is never replaced by one for other work.
TEST_F(Tickets, EveryPieceOfWorkKeepsAPlaceOfItsOwn) {
  // An upload waits for a later time; the server then lists a file of the same stem.
  test::WriteFile(dir / "queue/s.xml", "waiting");
  auto upload = CreateTicket(CPTicket::kUpload, std::string("P1"), std::string("E1"), std::string("alice"),
                             dir / "queue", dir / "queue/s.xml");
  ASSERT_TRUE(upload);
  ASSERT_TRUE(DeferTicket(*upload, 600));
  const std::string waiting = test::ReadFile(dir / "queue/s.ticket");
  auto download = CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::string("alice"),
                               dir / "queue", dir / "in/s.xml");
  ASSERT_TRUE(download);
  EXPECT_EQ(*download->TicketFile, dir / "queue/s~1.ticket");
  EXPECT_EQ(test::ReadFile(dir / "queue/s.ticket"), waiting) << "the waiting upload keeps its ticket";
  // The same download listed again takes its own place back; another account's does not.
  ASSERT_TRUE(DeferTicket(*download, 600));
  auto again = CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::string("alice"), dir / "queue",
                            dir / "in/s.xml");
  ASSERT_TRUE(again);
  EXPECT_EQ(*again->TicketFile, dir / "queue/s~1.ticket");
  EXPECT_LT(int64_t(again->SendTime), int64_t(std::time(nullptr))) << "due at once";
  auto bobs = CreateTicket(CPTicket::kDownload, std::string("P2"), std::nullopt, std::string("bob"), dir / "queue",
                           dir / "in/s.xml");
  ASSERT_TRUE(bobs);
  EXPECT_EQ(*bobs->TicketFile, dir / "queue/s~2.ticket");
  // ":" and "-" give the same ticket stem, and letter case does not tell stems apart for long.
  auto colon = CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::nullopt, dir / "queue",
                            dir / "in/c:d.xml");
  auto hyphen = CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::nullopt, dir / "queue",
                             dir / "in/c-d.xml");
  ASSERT_TRUE(colon && hyphen);
  EXPECT_EQ(*colon->TicketFile, dir / "queue/c-d.ticket");
  EXPECT_EQ(*hyphen->TicketFile, dir / "queue/c-d~1.ticket");
  EXPECT_EQ(colon->OriginalFilename, "c:d.xml");

  // An outbound document's place: its own name when both names are free, else "~N" for both.
  EXPECT_EQ(QueuedDocumentPath(dir / "queue", "s.xml"), dir / "queue/s~3.xml");
  EXPECT_EQ(QueuedDocumentPath(dir / "queue", "s.XML"), dir / "queue/s~3.XML");
  EXPECT_EQ(QueuedDocumentPath(dir / "queue", "new.xml"), dir / "queue/new.xml");
  test::WriteFile(dir / "queue/orphan.xml", "a queued document without a ticket");
  EXPECT_EQ(QueuedDocumentPath(dir / "queue", "orphan.xml"), dir / "queue/orphan~1.xml");
  auto placed = CreateTicket(CPTicket::kUpload, std::string("P1"), std::string("E2"), std::nullopt, dir / "queue",
                             dir / "queue/s~3.xml", std::string("s.xml"));
  ASSERT_TRUE(placed);
  EXPECT_EQ(*placed->TicketFile, dir / "queue/s~3.ticket");
  EXPECT_EQ(placed->OriginalFilename, "s.xml") << "people and the server see the original name";

  // An upload ticket whose document is gone (its scan died before the move) gives way; one whose
  // document is in the queue under a folder spelling that no longer resolves does not.
  fs::remove(dir / "queue/s.xml");
  EXPECT_EQ(QueuedDocumentPath(dir / "queue", "s.xml"), dir / "queue/s.xml");
  test::WriteFile(dir / "queue/t.xml", "waiting");
  test::WriteFile(dir / "queue/t.ticket", "<ticket><TicketAction value='2'/><OutboundFile value='" +
                                              (dir / "gone/t.xml") + "'/><ParticipantID value='P1'/></ticket>");
  auto t =
      CreateTicket(CPTicket::kDownload, std::string("P1"), std::nullopt, std::nullopt, dir / "queue", dir / "in/t.xml");
  ASSERT_TRUE(t);
  EXPECT_EQ(*t->TicketFile, dir / "queue/t~1.ticket");
  // A name too long for "~N" is cut to fit, never inside a UTF-8 sequence.
  std::string longStem;
  while (longStem.size() < 250) longStem += "\xD0\xB6";
  test::WriteFile(dir / ("queue/" + longStem.substr(0, 250) + ".xml"), "x");
  std::optional<std::string> cut = QueuedDocumentPath(dir / "queue", longStem.substr(0, 250) + ".xml");
  ASSERT_TRUE(cut);
  const std::string cutName = cut->substr(cut->rfind('/') + 1);
  EXPECT_LE(cutName.size(), 255u);
  EXPECT_TRUE(TicketCanCarry(cutName)) << cutName;
  EXPECT_TRUE(Has(cutName, "~1.xml")) << cutName;
}

// A ticket this process wrote loads as written without being read again; one that another hand
// rewrote in place, or put another file in place of, is read anew.
TEST_F(Tickets, ATicketChangedOnDiskSinceItWasWrittenIsReadAgain) {
  auto made = CreateTicket(CPTicket::kUpload, std::string("P1"), std::string("env-1"), std::nullopt, dir / "queue",
                           dir / "queue/a.xml");
  ASSERT_TRUE(made);
  const std::string path = *made->TicketFile, text = test::ReadFile(path);
  CPTicket loaded;
  ASSERT_TRUE(LoadTicket(path, loaded));
  EXPECT_EQ(loaded.EnvelopeID, "env-1");
  auto rewritten = [&](const std::string& envelope) {
    std::string changed = text;
    changed.replace(changed.find("env-1"), 5, envelope);
    return changed;
  };
  // The clock the file system stamps files with moves in ticks of a few milliseconds: the change
  // comes a tick later, as any change by a person or another program does.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::fstream inPlace(path, std::ios::in | std::ios::out | std::ios::binary);  // same file, same size
    inPlace << rewritten("env-2");
  }
  ASSERT_TRUE(LoadTicket(path, loaded));
  EXPECT_EQ(loaded.EnvelopeID, "env-2");
  test::WriteFile(dir / "queue/other", rewritten("env-3"));
  fs::rename(dir / "queue/other", path);
  ASSERT_TRUE(LoadTicket(path, loaded));
  EXPECT_EQ(loaded.EnvelopeID, "env-3");
  // Written again by this process, it loads as written.
  made->EnvelopeID = "env-4";
  ASSERT_TRUE(DeferTicket(*made, 0));
  ASSERT_TRUE(LoadTicket(path, loaded));
  EXPECT_EQ(loaded.EnvelopeID, "env-4");
  EXPECT_EQ(loaded.SendTime, made->SendTime);
}

TEST_F(Tickets, AnOversizedTicketIsSetAsideUnread) {
  // Sparse: a terabyte that takes no room.
  for (const char* name : {"junk.ticket", "junk.ticket.oversized"}) {
    int fd = ::open((dir / (std::string("queue/") + name)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 40), 0);
    ::close(fd);
  }
  test::WriteFile(dir / "queue/big.ticket", "<ticket>" + std::string(65536, ' ') + "</ticket>");
  const std::string fits = "<ticket><ParticipantID value='P1'/></ticket>";
  test::WriteFile(dir / "queue/fits.ticket", fits + std::string(65536 - fits.size(), ' '));
  Account("P1", "alice", 0);
  DueTickets due = LoadDueTickets(config);
  ASSERT_EQ(due.batchA.size(), 1u) << "a ticket of exactly 64 KiB still loads";
  EXPECT_FALSE(fs::exists(dir / "queue/junk.ticket"));
  EXPECT_TRUE(fs::exists(dir / "queue/junk.ticket.oversized~1")) << "set aside, replacing nothing";
  EXPECT_EQ(fs::file_size(dir / "queue/junk.ticket.oversized"), uint64_t(1) << 40);
  EXPECT_TRUE(fs::exists(dir / "queue/big.ticket.oversized"));
  EXPECT_TRUE(Has(*log, "Ticket file " + (dir / "queue/junk.ticket") + " is larger than 65536 bytes, set aside as " +
                            (dir / "queue/junk.ticket.oversized~1")))
      << *log;
  log->clear();
  LoadDueTickets(config);
  EXPECT_FALSE(Has(*log, "larger")) << "never looked at again";
}

TEST_F(Tickets, AFolderSpelledDifferentlyIsTheSameFolder) {
  fs::create_directory_symlink(dir / "queue", dir / "link");
  const std::pair<std::string, std::string> spellings[] = {
      {"link", "through a link"}, {"queue/", "with a trailing slash"}, {"./queue", "with a dot"}};
  int n = 0;
  for (const auto& [folder, how] : spellings) {
    const std::string name = "t" + std::to_string(n++) + ".ticket";
    test::WriteFile(dir / ("queue/" + name), "<ticket><TicketFile value='" + dir.path() + "/" + folder + "/" + name +
                                                 "'/><ParticipantID value='P'/></ticket>");
    CPTicket t;
    ASSERT_TRUE(LoadTicket(dir / ("queue/" + name), t)) << how;
    ASSERT_TRUE(t.TicketFile) << how;
    EXPECT_TRUE(RemoveTicket(t)) << how;
    EXPECT_FALSE(fs::exists(dir / ("queue/" + name))) << how;
  }
  EXPECT_TRUE(SameFolder(dir / "link", dir / "queue/"));
  EXPECT_FALSE(SameFolder(dir / "link", dir.path()));
  EXPECT_FALSE(SameFolder(dir / "missing", dir / "queue"));
}

}  // namespace
}  // namespace zel
