#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "config/CPConfig.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;

class StartChecks : public testing::Test {
 protected:
  void SetUp() override {
    events = test::EventRecorder::Install();
    for (const char* name : {"in", "out", "bad", "queue", "temp", "copy"}) fs::create_directory(dir / name);
    good.paths.Basedir = dir.path();
    good.paths.Inbound = dir / "in";
    good.paths.Outbound = dir / "out";
    good.paths.Bad = dir / "bad";
    good.paths.Queue = dir / "queue";
    good.paths.Temp = dir / "temp";
    good.paths.Logfile = dir / "zel.log";
    good.server.port = 443;
    good.server.list = good.server.get = good.server.post = good.server.remove = "/x";
  }
  void TearDown() override { SetEventSink(nullptr); }

  test::ScratchDir dir;
  std::shared_ptr<test::EventRecorder> events;
  CPConfig good;
};

TEST_F(StartChecks, EveryFailureHasItsMessage) {
  struct Case {
    std::function<void(CPConfig&)> spoil;
    std::string message;
  };
  const std::string missing = dir / "missing";
  const Case cases[] = {
      {[](CPConfig& c) { c.paths.Basedir.reset(); }, "Parameter Basedir path not found in config file"},
      {[&](CPConfig& c) { c.paths.Basedir = missing; }, "Basedir path " + missing + " does not exist"},
      {[](CPConfig& c) { c.paths.Bad.reset(); }, "Parameter Bad path not found in config file"},
      {[&](CPConfig& c) { c.paths.Bad = missing; }, "Bad path " + missing + " does not exist"},
      {[](CPConfig& c) { c.paths.Inbound.reset(); }, "Parameter Inbound path not found in config file"},
      {[&](CPConfig& c) { c.paths.Inbound = missing; }, "Inbound path " + missing + " does not exist"},
      {[](CPConfig& c) { c.paths.Outbound.reset(); }, "Parameter Outbound path not found in config file"},
      {[&](CPConfig& c) { c.paths.Outbound = missing; }, "Outbound path " + missing + " does not exist"},
      {[](CPConfig& c) { c.paths.Queue.reset(); }, "Parameter Queue path not found in config file"},
      {[&](CPConfig& c) { c.paths.Queue = missing; }, "Queue path " + missing + " does not exist"},
      {[](CPConfig& c) { c.paths.Temp.reset(); }, "Parameter Temp path not found in config file"},
      {[&](CPConfig& c) { c.paths.Temp = c.paths.Logfile; }, "Temp path " + (dir / "zel.log") + " does not exist"},
      {[&](CPConfig& c) {
         c.paths.copyEnabled = true;
         c.paths.Copy = missing;
       },
       "Copy path " + missing + " does not exist"},
      {[](CPConfig& c) { c.server.port = 0; }, "Parameter Server port not found (or invalid) in config file"},
      {[](CPConfig& c) { c.server.list.reset(); }, "Parameter Server list not found in config file"},
      {[](CPConfig& c) { c.server.get.reset(); }, "Parameter Server get not found in config file"},
      {[](CPConfig& c) { c.server.post.reset(); }, "Parameter Server post not found in config file"},
      {[](CPConfig& c) { c.server.remove.reset(); }, "Parameter Server remove not found in config file"},
  };
  test::WriteFile(dir / "zel.log", "");
  for (const auto& c : cases) {
    events->clear();
    CPConfig config = good;
    c.spoil(config);
    EXPECT_FALSE(ValidateConfig(config)) << c.message;
    EXPECT_EQ(events->messages(), "E:" + c.message + "\n");
  }
}

TEST_F(StartChecks, GoodConfigPassesAndAMissingLogIsOnlyAWarning) {
  EXPECT_TRUE(ValidateConfig(good));
  EXPECT_EQ(events->messages(), "");
  good.paths.Logfile.reset();
  good.paths.Copy = dir / "nothing";  // looked at only when copying is on
  EXPECT_TRUE(ValidateConfig(good));
  EXPECT_EQ(events->messages(), "W:Parameter Logfile path not found in config file, no log will be created\n");
}

TEST_F(StartChecks, SubfoldersAreMadeForEachAccount) {
  auto account = [](const char* pid, std::optional<std::string> login) {
    auto a = std::make_shared<CPConfigAccount>();
    a->ParticipantID = pid;
    a->login = login;
    return a;
  };
  good.paths.subdirsEnabled = true;
  good.accounts = {account("P1", "alice"), account("P2", std::nullopt)};
  good.paths.subdirsByLogin = true;
  ASSERT_TRUE(ValidateConfig(good)) << events->messages();
  EXPECT_TRUE(fs::is_directory(dir / "in/alice"));
  EXPECT_TRUE(fs::is_directory(dir / "out/alice"));
  EXPECT_EQ(test::CountFiles(dir / "in"), 1u) << "an account without login is skipped";

  good.paths.subdirsByLogin = false;
  ASSERT_TRUE(ValidateConfig(good));
  EXPECT_TRUE(fs::is_directory(dir / "in/P1"));
  EXPECT_TRUE(fs::is_directory(dir / "in/P2"));
  EXPECT_FALSE(fs::exists(dir / "out/P1")) << "no outbound subfolder by participant";

  // An empty name is the inbound (and outbound) folder itself; a name that is not one plain
  // folder name is refused, never created elsewhere.
  struct Case {
    const char* name;
    bool accepted;
  };
  for (const Case& c :
       {Case{"", true}, {"..", false}, {"../escape", false}, {"a/b", false}, {"/", false}, {".", false}}) {
    for (bool byLogin : {false, true}) {
      events->clear();
      good.paths.subdirsByLogin = byLogin;
      good.accounts = {byLogin ? account("P1", c.name) : account(c.name, std::nullopt)};
      const size_t before = test::CountFiles(dir / "in");
      EXPECT_EQ(ValidateConfig(good), c.accepted) << c.name << " " << byLogin;
      if (c.accepted) {
        EXPECT_EQ(events->messages(), "") << c.name;
        EXPECT_EQ(test::CountFiles(dir / "in"), before) << c.name << ": nothing made";
      } else {
        EXPECT_EQ(events->messages(), "E:Cannot create subfolder " + (dir / "in") + "/" + c.name + "\n");
      }
    }
  }
  EXPECT_FALSE(fs::exists(dir / "escape"));
}

}  // namespace
}  // namespace zel
