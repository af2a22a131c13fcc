#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
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
  std::string pad, unpad;
  for (int i = 0; i < 100000; ++i) pad += "<n>", unpad += "</n>";
  test::WriteFile(dir / "out/deep.xml",
                  "<Envelope><EDHeader><ParticipantID>P1</ParticipantID></EDHeader>" + pad + unpad + "</Envelope>");
  test::WriteFile(dir / "queue/a&b 1.xml", "older copy");
  ScanOutbound(config);
  EXPECT_TRUE(Names(dir / "out").empty());
  EXPECT_EQ(Names(dir / "bad"), (std::vector<std::string>{"broken.xml", "deep.xml", "nopid.xml"}));
  EXPECT_EQ(test::ReadFile(dir / "queue/a&b 1.xml"), "older copy") << "a queued document is never replaced";
  EXPECT_EQ(test::ReadFile(dir / "queue/a&b 1~1.xml"), Document("P-unknown", "E-1"));
  CPTicket ticket;
  ASSERT_TRUE(LoadTicket(dir / "queue/a&b 1~1.ticket", ticket));
  EXPECT_EQ(ticket.TicketAction, CPTicket::kUpload);
  EXPECT_EQ(ticket.OutboundFile, dir / "queue/a&b 1~1.xml");
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

// The writers never touch the process's umask: a file another thread creates meanwhile always gets
// the mode that umask gives it.
TEST_F(Folders, WritersLeaveTheUmaskOfOtherThreadsAlone) {
  const mode_t before = umask(022);
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; !done; ++i) {
        int error = 0;
        WriteFileAtomically(dir / ("in/" + std::to_string(t) + ".xml"), "x", &error);
      }
    });
  int wrong = 0;
  for (int i = 0; i < 20000 && wrong == 0; ++i) {
    const std::string path = dir / "out/probe";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0644) ++wrong;
    if (fd >= 0) close(fd);
    unlink(path.c_str());
  }
  done = true;
  for (auto& w : writers) w.join();
  umask(before);
  EXPECT_EQ(wrong, 0) << "a file created while a writer had set the umask to 0";
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
  // An empty login or participant identifier names the folder itself; ".." and the like none.
  for (bool byLogin : {true, false}) {
    config.paths.subdirsByLogin = byLogin;
    for (auto [sub, target] : {std::pair<const char*, std::optional<std::string>>{"", dir / "in/d.xml"},
                               {"..", std::nullopt},
                               {"a/b", std::nullopt}}) {
      CPConfigAccount account;
      account.login = account.ParticipantID = sub;
      EXPECT_EQ(InboundPath(config, account, "d.xml"), target) << sub << " " << byLogin;
    }
  }
  EXPECT_EQ(ColonsToHyphens("C:/a:b"), "C:/a-b");
}

// Every ticket of the queue, by the original name and login it carries, with its document's bytes.
std::map<std::string, std::string> QueuedByOrigin(const std::string& queue) {
  std::map<std::string, std::string> found;
  for (const auto& e : fs::directory_iterator(queue)) {
    if (e.path().extension() != ".ticket") continue;
    CPTicket t;
    EXPECT_TRUE(LoadTicket(e.path(), t)) << e.path();
    found[t.Login.value_or("-") + "/" + t.OriginalFilename.value_or("")] = test::ReadFile(t.OutboundFile.value_or(""));
  }
  return found;
}

TEST_F(Folders, NamesThatShareATicketNameEachGetAPlaceOfTheirOwn) {
  std::map<std::string, std::string> dropped;
  for (const char* name : {"a.xml", "a.XML", "a.Xml", "c:d.xml", "c-d.xml"}) {
    dropped[std::string("-/") + name] = Document("P1", std::string("env-") + name);
    test::WriteFile(dir / (std::string("out/") + name), dropped[std::string("-/") + name]);
  }
  ScanOutbound(config);
  config.paths.subdirsByLogin = true;
  for (const char* login : {"alice", "bob"}) {
    fs::create_directory(dir / (std::string("out/") + login));
    dropped[std::string(login) + "/x.xml"] = Document("P1", std::string("env-x-") + login);
    test::WriteFile(dir / (std::string("out/") + login + "/x.xml"), dropped[std::string(login) + "/x.xml"]);
  }
  ScanOutbound(config);
  EXPECT_EQ(QueuedByOrigin(dir / "queue"), dropped);
  EXPECT_EQ(test::CountFiles(dir / "queue"), 2 * dropped.size()) << "one document and one ticket each";
}

// A scan queues its documents in groups, and writes the tickets of one group before the documents
// of the group before it have moved: a place one document claimed stays its own however the listing
// spreads the documents over the groups. Each "n.xml" finds its natural place held by earlier work
// and takes "n~1", the place that "n~1.xml" would take too.
TEST_F(Folders, PlacesClaimedInOneGroupStayTakenInTheNext) {
  std::multiset<std::pair<std::string, std::string>> expected;  // name and document of every ticket
  for (int n = 0; n < 150; ++n) {
    const std::string stem = "d" + std::to_string(n), earlier = dir / ("queue/" + stem + ".xml");
    test::WriteFile(earlier, Document("P1", "earlier-" + stem));
    ASSERT_TRUE(
        CreateTicket(CPTicket::kUpload, std::string("P1"), "earlier-" + stem, std::nullopt, dir / "queue", earlier));
    expected.emplace(stem + ".xml", Document("P1", "earlier-" + stem));
    for (const std::string& name : {stem + ".xml", stem + "~1.xml"}) {
      test::WriteFile(dir / ("out/" + name), Document("P1", "env-" + name));
      expected.emplace(name, Document("P1", "env-" + name));
    }
  }
  ScanOutbound(config);
  EXPECT_EQ(test::CountFiles(dir / "out"), 0u);
  std::multiset<std::pair<std::string, std::string>> found;
  std::set<std::string> documents;
  for (const auto& e : fs::directory_iterator(dir / "queue")) {
    if (e.path().extension() != ".ticket") continue;
    CPTicket t;
    ASSERT_TRUE(LoadTicket(e.path(), t)) << e.path();
    found.emplace(t.OriginalFilename.value_or(""), test::ReadFile(t.OutboundFile.value_or("")));
    EXPECT_TRUE(documents.insert(t.OutboundFile.value_or("")).second) << "two tickets for " << *t.OutboundFile;
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(test::CountFiles(dir / "queue"), 2 * expected.size());
}

// A file being written never shows under its name before its commit, and one dropped first leaves
// nothing; it is put in place whole, under a new name or over a file of that name. One that is
// synced later with others shows under no name at all until its commit.
TEST_F(Folders, AWriteShowsNothingBeforeItsCommitAndNothingOnceDropped) {
  test::WriteFile(dir / "in/old.xml", "old");
  for (const Durability durability : {Durability::kAtCommit, Durability::kSyncedLater}) {
    for (const std::string name : {"new.xml", "old.xml"}) {
      for (const bool commit : {false, true}) {
        const std::vector<std::string> before = Names(dir / "in");
        const std::string earlier = fs::exists(dir / ("in/" + name)) ? test::ReadFile(dir / ("in/" + name)) : "";
        int error = 0;
        auto writer = AtomicFileWriter::Create(dir / ("in/" + name), &error, FileAccess::kUmask, durability);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->write("fresh", 5, &error));
        ASSERT_TRUE(writer->flush(&error));
        if (durability == Durability::kSyncedLater) {
          EXPECT_EQ(Names(dir / "in"), before) << name;
        }
        EXPECT_EQ(fs::exists(dir / ("in/" + name)) ? test::ReadFile(dir / ("in/" + name)) : "", earlier) << name;
        if (commit) {
          EXPECT_TRUE(durability == Durability::kAtCommit ? writer->commit(&error) : writer->commitUnsynced(&error))
              << error;
        }
        writer.reset();
        EXPECT_EQ(test::TemporaryLeftovers(dir / "in"), std::vector<std::string>{}) << name;
      }
      EXPECT_EQ(test::ReadFile(dir / ("in/" + name)), "fresh") << name;
      test::WriteFile(dir / ("in/" + name), "old");
    }
  }
  EXPECT_EQ(Names(dir / "in"), (std::vector<std::string>{"new.xml", "old.xml"}));

  // A prepared write shows only at its commit, and a folder it needs is made only then when asked.
  ASVariableBuffer body;
  body.append(std::string_view("<doc/>"));
  {
    PreparedFileWrite dropped(dir / "in/P1/a.xml", body);
    dropped.prepare(false);
    PreparedFileWrite prepared(dir / "in/b.xml", body);
    prepared.prepare();
    EXPECT_FALSE(fs::exists(dir / "in/P1"));
    EXPECT_FALSE(fs::exists(dir / "in/b.xml"));
  }
  EXPECT_EQ(Names(dir / "in").size(), 2u) << "nothing of the dropped writes";
  PreparedFileWrite later(dir / "in/P1/a.xml", body);
  later.prepare(false);
  EXPECT_TRUE(later.commit());
  EXPECT_EQ(test::ReadFile(dir / "in/P1/a.xml"), "<doc/>");
  EXPECT_EQ(body.readPosition(), 0) << "the buffer is read without moving its read position";
}

TEST_F(Folders, AFailedMoveTakesBackOnlyItsOwnTicket) {
  test::WriteFile(dir / "queue/q.xml", Document("P1", "earlier"));
  ASSERT_TRUE(CreateTicket(CPTicket::kUpload, std::string("P1"), std::string("earlier"), std::nullopt, dir / "queue",
                           dir / "queue/q.xml"));
  const std::string earlier = test::ReadFile(dir / "queue/q.ticket");
  test::WriteFile(dir / "out/q.xml", Document("P1", "later"));
  // Files in an append-only folder cannot be moved out of it, not even by root.
  if (std::system(("chattr +a '" + dir / "out" + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "chattr +a is not available here";
  ScanOutbound(config);
  std::system(("chattr -a '" + dir / "out" + "'").c_str());
  EXPECT_TRUE(fs::exists(dir / "out/q.xml")) << "stays for the next pass";
  EXPECT_EQ(test::ReadFile(dir / "queue/q.ticket"), earlier) << "the earlier document keeps its ticket";
  EXPECT_EQ(Names(dir / "queue"), (std::vector<std::string>{"q.ticket", "q.xml"}));
}

TEST_F(Folders, ANameATicketCannotCarryGoesToBadBeforeAnythingMoves) {
  for (const char* name : {"ctl\x01.xml", "bad\xFF.xml", "tab\there.xml"})
    test::WriteFile(dir / (std::string("out/") + name), Document("P1"));
  ScanOutbound(config);
  EXPECT_EQ(Names(dir / "bad"), (std::vector<std::string>{"bad\xFF.xml", "ctl\x01.xml"}));
  CPTicket ticket;
  ASSERT_TRUE(LoadTicket(dir / "queue/tab\there.ticket", ticket));
  EXPECT_EQ(ticket.OriginalFilename, "tab\there.xml");
  EXPECT_EQ(ticket.OutboundFile, dir / "queue/tab\there.xml");
}

TEST_F(Folders, TheColonRuleNeverTouchesAConfiguredFolder) {
  fs::create_directories(dir / "col:on/queue");
  config.paths.Queue = dir / "col:on/queue";
  test::WriteFile(dir / "out/doc:1.xml", Document("P1"));
  ScanOutbound(config);
  EXPECT_FALSE(fs::exists(dir / "col-on"));
  EXPECT_EQ(Names(dir / "col:on/queue"), (std::vector<std::string>{"doc-1.ticket", "doc:1.xml"}));
  ASVariableBuffer body;
  body.append(std::string("<d/>"));
  EXPECT_TRUE(WriteBufferToFile(dir / "col:on/in:x.xml", body));
  EXPECT_TRUE(fs::exists(dir / "col:on/in-x.xml"));
  ASSERT_TRUE(WriteBufferToDatedFile(dir / "col:on/c:y.xml", body));
  EXPECT_EQ(ColonsToHyphens("/a:b/c:d:e.xml"), "/a:b/c-d-e.xml");
  EXPECT_EQ(ColonsToHyphens("c:d.xml"), "c-d.xml");
}

}  // namespace
}  // namespace zel
