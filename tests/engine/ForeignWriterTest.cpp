// zel running as an unprivileged user, whose leases the kernel refuses on files it does not own:
// a document that another user's process is still writing, without any lock, is not taken until
// it has stayed unchanged for a pass; one at rest is taken.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kNobody = "65534";

TEST(ForeignWriter, ADocumentStillBeingWrittenIsNotTakenWhenTheLeaseIsRefused) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  test::ScratchDir dir("/tmp");
  fs::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "zel");
  for (const char* name : {"in", "out", "bad", "queue", "temp", "log", "tmp"}) fs::create_directory(dir / name);
  test::WriteFile(dir / "config.xml",
                  "<config><Basedir path='" + dir.path() +
                      "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
                      "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/><Logfile path='$basedir/log/zel.log'/>"
                      "<Server port='443' list='/l' get='/g' post='/p' remove='/r'/></config>");
  // zel's own folders belong to the unprivileged user; the documents stay root's.
  ASSERT_EQ(std::system(("chown -R " + std::string(kNobody) + ":" + kNobody + " '" + dir.path() + "'").c_str()), 0);
  const std::string head = "<?xml version=\"1.0\"?><Envelope><EDHeader>";
  const std::string middle =
      "<ParticipantID>P1</ParticipantID></EDHeader><RoutingInf><EnvelopeID>e1</EnvelopeID>"
      "</RoutingInf><Body>";
  const std::string tail = "</Body></Envelope>";
  const std::string resting = head + middle + "at rest" + tail;
  test::WriteFile(dir / "out/resting.xml", resting);
  fs::permissions(dir / "out/resting.xml", fs::perms(0666));

  // The writer: the head at once (no participant yet), the rest in pieces over about three
  // seconds, the file open all along and never locked.
  test::ChildProcess writer({"/bin/bash", "-c",
                             "umask 0; exec 3>\"$0\"; printf %s \"$1\" >&3; echo started; sleep 0.5; "
                             "printf %s \"$2\" >&3; for i in $(seq 25); do sleep 0.1; printf 'piece %s ' $i >&3; "
                             "done; printf %s \"$3\" >&3; exec 3>&-; echo done",
                             dir / "out/growing.xml", head, middle, tail},
                            {}, dir / "writer.txt");
  for (int i = 0; i < 400 && test::ReadFile(dir / "writer.txt").empty(); ++i) std::this_thread::sleep_for(5ms);
  test::ChildProcess zel({"/usr/bin/setpriv", "--reuid=" + std::string(kNobody), "--regid=" + std::string(kNobody),
                          "--clear-groups", dir / "zel", "-f", "-c", dir / "config.xml"},
                         {"TMPDIR=" + (dir / "tmp")}, dir / "zel.txt");
  bool takenEarly = false;
  while (test::ReadFile(dir / "writer.txt").find("done") == std::string::npos) {
    if (!fs::exists(dir / "out/growing.xml")) takenEarly = true;
    ASSERT_EQ(writer.wait(0ms), -1) << "the writer ended early: " << test::ReadFile(dir / "writer.txt");
    std::this_thread::sleep_for(20ms);
  }
  for (int i = 0; i < 1000 && test::CountFiles(dir / "out") > 0; ++i) std::this_thread::sleep_for(20ms);
  zel.signal(SIGINT);
  EXPECT_EQ(zel.wait(), 0) << zel.output();
  const std::string log = test::ReadFile(dir / "log/zel.log");
  EXPECT_FALSE(takenEarly) << "taken while the writer was still writing\n" << log;
  EXPECT_EQ(test::CountFiles(dir / "bad"), 0u) << log;
  EXPECT_EQ(test::ReadFile(dir / "queue/resting.xml"), resting) << "a document at rest is taken\n" << log;
  EXPECT_TRUE(fs::exists(dir / "queue/resting.ticket"));
  std::string whole = head + middle;
  for (int i = 1; i <= 25; ++i) whole += "piece " + std::to_string(i) + " ";
  EXPECT_EQ(test::ReadFile(dir / "queue/growing.xml"), whole + tail) << log;
  EXPECT_TRUE(fs::exists(dir / "queue/growing.ticket"));
}

}  // namespace
}  // namespace zel
