#include <expat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool WellFormed(const std::string& text) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  bool ok = XML_Parse(parser, text.data(), int(text.size()), 1) != XML_STATUS_ERROR;
  XML_ParserFree(parser);
  return ok;
}

// zel scanning a few hundred documents is killed with SIGKILL at random moments; after every kill
// each document is in exactly one of outbound, queue (with a whole ticket) and bad.
TEST(ScanKill, NoDocumentIsLostOrDoubledWhateverMomentTheScannerDies) {
  test::ScratchDir dir;
  fs::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "zel");
  for (const char* name : {"in", "out", "bad", "queue", "temp", "log", "tmp"}) fs::create_directory(dir / name);
  const std::vector<std::string> env = {"TMPDIR=" + (dir / "tmp")};
  test::WriteFile(dir / "config.xml",
                  "<config><Basedir path='" + dir.path() +
                      "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
                      "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/><Logfile path='$basedir/log/zel.log'/>"
                      "<Server port='443' list='/l' get='/g' post='/p' remove='/r'/></config>");
  // 300 documents at first and 20 more before every run, so that runs end in the middle of a pass;
  // every tenth names no participant.
  const std::string padding(20000, 'p');
  std::map<std::string, bool> good;  // name -> has a participant
  int documents = 0;
  auto drop = [&](int n) {
    for (int k = 0; k < n; ++k, ++documents) {
      const std::string name = "doc" + std::to_string(documents) + ".xml";
      const bool routable = documents % 10 != 0;
      good[name] = routable;
      test::WriteFile(dir / ("out/" + name), "<Envelope><EDHeader>" +
                                                 std::string(routable ? "<ParticipantID>P1</ParticipantID>" : "") +
                                                 "</EDHeader><RoutingInf><EnvelopeID>e" + std::to_string(documents) +
                                                 "</EnvelopeID></RoutingInf><b>" + padding + "</b></Envelope>");
    }
  };
  drop(300);

  // The number of whole tickets; every broken rule is a failure of its own.
  auto check = [&](const char* when) -> size_t {
    size_t tickets = 0;
    for (const auto& [name, routable] : good) {
      int places =
          fs::exists(dir / ("out/" + name)) + fs::exists(dir / ("queue/" + name)) + fs::exists(dir / ("bad/" + name));
      EXPECT_EQ(places, 1) << name << " " << when;
      const std::string ticket = dir / ("queue/" + name.substr(0, name.size() - 4) + ".ticket");
      if (fs::exists(dir / ("queue/" + name))) {
        EXPECT_TRUE(fs::exists(ticket)) << name << " queued without a ticket " << when;
      }
      if (fs::exists(dir / ("bad/" + name))) {
        EXPECT_FALSE(routable) << name;
      }
    }
    for (const auto& e : fs::directory_iterator(dir / "queue")) {
      if (e.path().extension() != ".ticket") continue;
      EXPECT_TRUE(WellFormed(test::ReadFile(e.path()))) << e.path() << " " << when;
      ++tickets;
    }
    return tickets;
  };

  std::mt19937 rng(20261210);
  int kills = 0, midPass = 0;
  for (; kills < 50; ++kills) {
    if (kills > 0) drop(20);
    const size_t before = test::CountFiles(dir / "out");
    test::ChildProcess zel({dir / "zel", "-f", "-c", dir / "config.xml"}, env, dir / "zel.txt");
    if (kills % 2) {
      // Blind: any moment, start-up included.
      std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 25000));
    } else {
      // Once the pass has begun moving documents, however long start-up took.
      for (int i = 0; i < 20000 && test::CountFiles(dir / "out") >= before; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(250));
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
    }
    zel.signal(SIGKILL);
    zel.wait();
    const size_t left = test::CountFiles(dir / "out");
    if (left > 0 && left < before) ++midPass;
    check("after a kill");
    if (HasFailure()) return;
  }
  // A last run that is left to finish its pass.
  test::ChildProcess zel({dir / "zel", "-f", "-c", dir / "config.xml"}, env, dir / "zel.txt");
  for (int i = 0; i < 3000 && test::CountFiles(dir / "out") > 0; ++i) std::this_thread::sleep_for(10ms);
  zel.signal(SIGINT);
  EXPECT_EQ(zel.wait(), 0);
  EXPECT_EQ(check("at the end"), size_t(documents - documents / 10));
  EXPECT_EQ(test::CountFiles(dir / "out"), 0u);
  EXPECT_EQ(test::CountFiles(dir / "bad"), size_t(documents / 10));
  std::cout << kills << " kills over " << documents << " documents, " << midPass
            << " of them in the middle of a pass\n";
  EXPECT_GE(midPass, 10);
  // Whatever a kill cut short left behind was cleared by the next start.
  EXPECT_EQ(test::TemporaryLeftovers(dir.path()), std::vector<std::string>{});
  EXPECT_EQ(test::CountFiles(dir / "tmp"), 0u) << "spill files";
}

}  // namespace
}  // namespace zel
