#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "document/FilePlacement.h"
#include "engine/CPTicket.h"
#include "engine/OutboundScanner.h"
#include "platform/Files.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Document(const std::string& participant, const std::string& envelope = "env-1") {
  return "<?xml version=\"1.0\"?><ed:Envelope xmlns:ed='x'><ed:EDHeader><ed:ParticipantID>" + participant +
         "</ed:ParticipantID></ed:EDHeader><ed:RoutingInf><ed:EnvelopeID>" + envelope +
         "</ed:EnvelopeID></ed:RoutingInf><Body>data</Body></ed:Envelope>";
}

class Folders : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"in", "out", "bad", "queue", "copy"}) fs::create_directory(dir / name);
    config.paths.Inbound = dir / "in";
    config.paths.Outbound = dir / "out";
    config.paths.Bad = dir / "bad";
    config.paths.Queue = dir / "queue";
    config.paths.Copy = dir / "copy";
    for (auto [pid, login] : {std::pair{"P1", "alice"}, {"P2", "bob"}}) {
      auto a = std::make_shared<CPConfigAccount>();
      a->ParticipantID = pid;
      a->login = login;
      config.accounts.push_back(a);
    }
  }
  std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  test::ScratchDir dir;
  CPConfig config;
};

TEST_F(Folders, AFileAnotherProcessHoldsOpenIsNotTakenUntilItIsClosed) {
  test::WriteFile(dir / "out/busy.xml", Document("P1"));
  test::WriteFile(dir / "out/FREE.XML", Document("P1"));
  test::WriteFile(dir / "out/notes.txt", "x");
  fs::create_directory(dir / "out/folder.xml");
  test::ChildProcess writer({"/bin/bash", "-c", "exec 3>>\"$0\"; echo open; sleep 30", dir / "out/busy.xml"}, {},
                            dir / "writer.txt");
  for (int i = 0; i < 500 && test::ReadFile(dir / "writer.txt").empty(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ListXmlFiles(dir / "out"), std::vector<std::string>{dir / "out/FREE.XML"});
  ScanOutbound(config);
  EXPECT_TRUE(fs::exists(dir / "out/busy.xml")) << "held open: left for the next pass";
  EXPECT_TRUE(fs::exists(dir / "queue/FREE.XML"));
  writer.signal(SIGKILL);
  writer.wait();
  ScanOutbound(config);
  EXPECT_EQ(Names(dir / "queue"), (std::vector<std::string>{"FREE.XML", "FREE.ticket", "busy.ticket", "busy.xml"}));
}

TEST_F(Folders, AReadOnlyFileIsNeverTakenEvenByRoot) {
  test::WriteFile(dir / "out/readonly.xml", Document("P1"));
  fs::permissions(dir / "out/readonly.xml", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_TRUE(ListXmlFiles(dir / "out").empty());
  ScanOutbound(config);
  EXPECT_EQ(Names(dir / "out"), std::vector<std::string>{"readonly.xml"});
  EXPECT_TRUE(Names(dir / "queue").empty());
}

TEST_F(Folders, ScanQueuesWithATicketOrSetsAsideInBad) {
  test::WriteFile(dir / "out/a&b 1.xml", Document("P-unknown", "E-1"));
  test::WriteFile(dir / "out/nopid.xml", "<Envelope/>");
  test::WriteFile(dir / "out/broken.xml", "<Envelope>");
  test::WriteFile(dir / "queue/a&b 1.xml", "older copy");
  ScanOutbound(config);
  EXPECT_TRUE(Names(dir / "out").empty());
  EXPECT_EQ(Names(dir / "bad"), (std::vector<std::string>{"broken.xml", "nopid.xml"}));
  EXPECT_EQ(test::ReadFile(dir / "queue/a&b 1.xml"), Document("P-unknown", "E-1")) << "replaces the older one";
  CPTicket ticket;
  ASSERT_TRUE(LoadTicket(dir / "queue/a&b 1.ticket", ticket));
  EXPECT_EQ(ticket.TicketAction, CPTicket::kUpload);
  EXPECT_EQ(ticket.OutboundFile, dir / "queue/a&b 1.xml");
  EXPECT_EQ(ticket.ParticipantID, "P-unknown");
  EXPECT_EQ(ticket.EnvelopeID, "E-1");
  EXPECT_EQ(ticket.Login, std::nullopt) << "no login when scanning the outbound folder itself";
  EXPECT_EQ(ticket.OriginalFilename, "a&b 1.xml");
}

TEST_F(Folders, PerLoginModeScansOnlyTheAccountsFolders) {
  config.paths.subdirsByLogin = true;
  for (const char* sub : {"alice", "bob", "carol"}) fs::create_directory(dir / (std::string("out/") + sub));
  test::WriteFile(dir / "out/direct.xml", Document("P1"));
  test::WriteFile(dir / "out/alice/a.xml", Document("P2"));
  test::WriteFile(dir / "out/bob/nopid.xml", "<Envelope/>");
  test::WriteFile(dir / "out/carol/c.xml", Document("P1"));
  auto odd = std::make_shared<CPConfigAccount>();
  odd->ParticipantID = "P3";
  odd->login = "../in";
  config.accounts.push_back(odd);
  test::WriteFile(dir / "in/escape.xml", Document("P3"));
  ScanOutbound(config);
  EXPECT_TRUE(fs::exists(dir / "out/direct.xml")) << "the outbound folder itself is not scanned";
  EXPECT_TRUE(fs::exists(dir / "out/carol/c.xml")) << "a login of no account is never scanned";
  EXPECT_TRUE(fs::exists(dir / "in/escape.xml")) << "a login naming another folder is refused";
  EXPECT_EQ(Names(dir / "bad"), std::vector<std::string>{"nopid.xml"});
  CPTicket ticket;
  ASSERT_TRUE(LoadTicket(dir / "queue/a.ticket", ticket));
  EXPECT_EQ(ticket.Login, "alice") << "the folder's login finds the account";
}

// Queue and bad on another file system: each move is a copy, read through the descriptor the scanner
// already holds. Opening the file a second time would break the scanner's own lease and wait out
// the kernel's lease-break time (45 s) for every document.
TEST_F(Folders, MovesToAnotherFileSystemGoThroughTheHeldFileWithoutWaiting) {
  test::ScratchDir other("/dev/shm");
  struct stat here {
  }, there{};
  if (other.path().empty() || stat(dir.path().c_str(), &here) != 0 || stat(other.path().c_str(), &there) != 0 ||
      here.st_dev == there.st_dev)
    GTEST_SKIP() << "/dev/shm is not a file system of its own here";
  for (const char* name : {"queue", "bad"}) fs::create_directory(other / name);
  config.paths.Queue = other / "queue";
  config.paths.Bad = other / "bad";
  std::map<std::string, std::string> documents;
  for (int i = 0; i < 3; ++i) {
    documents["doc" + std::to_string(i) + ".xml"] = Document("P1", "e" + std::to_string(i)) + std::string(100000, ' ');
    test::WriteFile(dir / ("out/doc" + std::to_string(i) + ".xml"), documents["doc" + std::to_string(i) + ".xml"]);
  }
  test::WriteFile(dir / "out/nopid.xml", "<Envelope/>");
  const auto start = std::chrono::steady_clock::now();
  ScanOutbound(config);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 20s) << "a move waited for the scanner's own hold";
  EXPECT_TRUE(Names(dir / "out").empty());
  EXPECT_EQ(Names(other / "bad"), std::vector<std::string>{"nopid.xml"});
  EXPECT_EQ(Names(other / "queue"), (std::vector<std::string>{"doc0.ticket", "doc0.xml", "doc1.ticket", "doc1.xml",
                                                              "doc2.ticket", "doc2.xml"}));
  for (const auto& [name, bytes] : documents) EXPECT_EQ(test::ReadFile(other / ("queue/" + name)), bytes) << name;
}

// Keeps every file-channel line while it lives.
class LogLines : public LogWriter {
 public:
  explicit LogLines(std::shared_ptr<std::string> all) : all_(std::move(all)) {}
  void writeLine(std::string_view line) override { all_->append(line); }
  static std::shared_ptr<std::string> Install() {
    auto all = std::make_shared<std::string>();
    AttachLogFile(std::make_unique<LogLines>(all));
    return all;
  }

 private:
  std::shared_ptr<std::string> all_;
};

// A temporary name of fixed length: every name the file system takes is written, moved and queued.
TEST_F(Folders, NamesUpToTheFileSystemsLimitAreWrittenMovedAndQueued) {
  const std::string longest = std::string(251, 'n') + ".xml";
  ASVariableBuffer body;
  body.append(Document("P1"));
  EXPECT_TRUE(WriteBufferToFile(dir / ("in/" + longest), body));
  EXPECT_EQ(Names(dir / "in"), std::vector<std::string>{longest});
  test::ScratchDir other("/dev/shm");
  struct stat here {
  }, there{};
  if (!other.path().empty() && stat(dir.path().c_str(), &here) == 0 && stat(other.path().c_str(), &there) == 0 &&
      here.st_dev != there.st_dev) {
    EXPECT_TRUE(MoveFileToFolder(other.path(), dir / ("in/" + longest))) << "across file systems";
    EXPECT_EQ(Names(other.path()), std::vector<std::string>{longest});
  }

  auto log = LogLines::Install();
  std::vector<std::string> names;
  for (size_t length : {246, 252, 255}) {
    names.push_back(std::string(length - 4, char('a' + names.size())) + ".xml");
    test::WriteFile(dir / ("out/" + names.back()), Document("P1"));
  }
  ScanOutbound(config);
  AttachLogFile(nullptr);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(fs::exists(dir / ("queue/" + names[i]))) << names[i].size() << " bytes\n" << *log;
    EXPECT_TRUE(fs::exists(dir / ("queue/" + names[i].substr(0, names[i].size() - 4) + ".ticket")));
  }
  // 255 bytes leave no room for ".ticket" in place of ".xml": wherever the document is, it is there
  // once, and the log does not claim a move that never happened.
  EXPECT_EQ(fs::exists(dir / ("out/" + names[2])) + fs::exists(dir / ("queue/" + names[2])), 1);
  EXPECT_EQ(log->find("moved back to outbound"), std::string::npos) << *log;
  for (const char* folder : {"in", "out", "queue", "bad"})
    for (const std::string& name : Names(dir / folder)) EXPECT_NE(name[0], '.') << folder << "/" << name;
}

// Writers on several threads at once (the mail gateway stores documents from its sessions) never
// share a temporary file.
TEST_F(Folders, WritersOnManyThreadsAtOnceEachGetTheirOwnTemporaryFile) {
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const std::string bytes = std::string(size_t(1000 + t * 100 + i), char('a' + t));
        int error = 0;
        if (!WriteFileAtomically(dir / ("in/" + std::to_string(t) + "-" + std::to_string(i) + ".xml"), bytes, &error))
          ++failures;
      }
    });
  for (auto& w : writers) w.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(test::CountFiles(dir / "in"), 320u) << "no temporary file stays";
  for (int t = 0; t < 8; ++t)
    EXPECT_EQ(test::ReadFile(dir / ("in/" + std::to_string(t) + "-39.xml")),
              std::string(size_t(1039 + t * 100), char('a' + t)));
}

// At start the temporary files a killed writer left are removed, and nothing else.
TEST_F(Folders, LeftoverTemporaryFilesAreRemovedAndNothingElse) {
  config.paths.subdirsEnabled = true;
  fs::create_directories(dir / "in/P1");
  fs::create_directories(dir / "copy/P1/2026-01-02");
  const std::vector<std::string> stale = {"in/.zel-abcdefghij12",
                                          "in/P1/.zel-0123456789ab",
                                          "queue/.zel-zzzzzzzzzzzz",
                                          "bad/.zel-a1b2c3d4e5f6",
                                          "copy/P1/2026-01-02/.zel-qwertyuiopas",
                                          "out/.zel-000000000000"};
  const std::vector<std::string> kept = {"in/.zel-short",
                                         "in/.zel-ABCDEFGHIJKL",
                                         "in/.zel-abcdefghij123",
                                         "queue/a.xml.tmpQ1w2E3",
                                         "queue/.zel-abcdefghij1.ticket",
                                         "bad/zel-abcdefghijkl",
                                         "in/P1/d.xml"};
  for (const auto& f : stale) test::WriteFile(dir / f, "half");
  for (const auto& f : kept) test::WriteFile(dir / f, "keep");
  RemoveLeftoverTemporaryFiles(config);
  for (const auto& f : stale) EXPECT_FALSE(fs::exists(dir / f)) << f;
  for (const auto& f : kept) EXPECT_TRUE(fs::exists(dir / f)) << f;
}

TEST_F(Folders, ListingByAgeIsOldestFirstAndStable) {
  for (const char* name : {"c.ticket", "a.ticket", "b.ticket", "d.TICKET"})
    test::WriteFile(dir / (std::string("queue/") + name), "x");
  auto setAccess = [&](const char* name, time_t when) {
    timespec times[2] = {{when, 0}, {UTIME_OMIT, 0}};
    utimensat(AT_FDCWD, (dir / (std::string("queue/") + name)).c_str(), times, 0);
  };
  setAccess("c.ticket", 3000);
  setAccess("a.ticket", 1000);
  setAccess("b.ticket", 2000);
  setAccess("d.TICKET", 2000);
  std::vector<fileEntry> entries = ListFilesByAge(dir / "queue", ".ticket");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "a.ticket");
  EXPECT_EQ(entries[3].name, "c.ticket");
  // b and d have the same time: they keep the order the folder lists them in.
  std::vector<std::string> listed;
  for (const auto& e : fs::directory_iterator(dir / "queue"))
    if (e.path().filename() == "b.ticket" || e.path().filename() == "d.TICKET") listed.push_back(e.path().filename());
  EXPECT_EQ(entries[1].name, listed[0]);
  EXPECT_EQ(entries[2].name, listed[1]);
  EXPECT_EQ(entries[0].size, 1u);
}

TEST_F(Folders, WritesAreWholeDatedAndColonSafe) {
  ASVariableBuffer body;
  body.append(std::string(100000, 'z'));
  EXPECT_TRUE(WriteBufferToFile(dir / "in/new/doc:1:2.xml", body));
  EXPECT_EQ(test::ReadFile(dir / "in/new/doc-1-2.xml").size(), 100000u);
  EXPECT_EQ(Names(dir / "in/new"), std::vector<std::string>{"doc-1-2.xml"}) << "no temporary file stays";
  EXPECT_FALSE(WriteBufferToFile(dir / "in/no/such/x.xml", body)) << "only one level is created";
  ASSERT_TRUE(WriteBufferToDatedFile(dir / "copy/P1/a:b.xml", body));
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
  EXPECT_TRUE(fs::exists(dir / (std::string("copy/P1/") + date + "/a-b.xml")));
  ASVariableBuffer empty;
  EXPECT_TRUE(WriteBufferToFile(dir / "in/empty.xml", empty));
  EXPECT_EQ(fs::file_size(dir / "in/empty.xml"), 0u);
  ASVariableBuffer back;
  EXPECT_TRUE(ReadFileToBuffer(dir / "in/new/doc-1-2.xml", back));
  EXPECT_TRUE(ReadFileToBuffer(dir / "in/empty.xml", back));
  EXPECT_EQ(back.length(), 100000);
  EXPECT_FALSE(ReadFileToBuffer(dir / "in/missing.xml", back));
  EXPECT_FALSE(MoveFileToFolder(dir / "nowhere", dir / "in/empty.xml"));
  EXPECT_TRUE(fs::exists(dir / "in/empty.xml"));
}

TEST_F(Folders, DeliveryTargetsFollowTheSubdirsRulesAndStayInside) {
  const CPConfigAccount& alice = *config.accounts[0];
  EXPECT_EQ(InboundPath(config, alice, "d.xml"), dir / "in/d.xml");
  config.paths.subdirsEnabled = true;
  EXPECT_EQ(InboundPath(config, alice, "d.xml"), dir / "in/P1/d.xml");
  EXPECT_EQ(CopyPath(config, alice, "d.xml"), dir / "copy/P1/d.xml");
  config.paths.subdirsByLogin = true;
  EXPECT_EQ(InboundPath(config, alice, "d.xml"), dir / "in/alice/d.xml");
  for (const char* name : {"../d.xml", "a/b.xml", "..", ""}) EXPECT_EQ(InboundPath(config, alice, name), std::nullopt);
  EXPECT_EQ(ColonsToHyphens("C:/a:b"), "C:/a-b");
}

}  // namespace
}  // namespace zel
