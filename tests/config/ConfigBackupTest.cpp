#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "config/ConfigBackup.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

class Backup : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir / "state");
    setenv("ZEL_STATE_DIR", (dir / "state").c_str(), 1);
    for (const char* name : {"in", "out", "bad", "queue", "temp"}) std::filesystem::create_directory(dir / name);
    test::WriteFile(dir / "config.xml",
                    "<config><Basedir path='" + dir.path() +
                        "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
                        "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/>"
                        "<Server port='443' list='/l' get='/g' post='/p' remove='/r'/></config>");
    ASSERT_EQ(LoadConfig(config, dir / "config.xml"), 0);
  }
  void TearDown() override { unsetenv("ZEL_STATE_DIR"); }

  test::ScratchDir dir;
  CPConfig config;
};

TEST_F(Backup, RestoresTheExpandedConfiguration) {
  const mode_t mask = umask(022);
  BackupConfig(config);
  ASSERT_TRUE(std::filesystem::exists(BackupLocation()));
  struct stat st {};
  ASSERT_EQ(stat(BackupLocation().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "it holds the stored passwords";
  EXPECT_EQ(test::ReadFile(BackupLocation()).find("$basedir"), std::string::npos) << "stored encrypted";
  test::WriteFile(dir / "config.xml", "<config><broken");
  ASSERT_EQ(chmod((dir / "config.xml").c_str(), 0640), 0);
  ASSERT_TRUE(RestoreConfig(dir / "config.xml"));
  ASSERT_EQ(stat((dir / "config.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "a rewrite drops group and other bits and gains none";
  test::WriteFile(dir / "config.xml", "<config><broken");
  ASSERT_EQ(chmod((dir / "config.xml").c_str(), 0400), 0);
  ASSERT_TRUE(RestoreConfig(dir / "config.xml"));
  ASSERT_EQ(stat((dir / "config.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0400u) << "tighter stays tighter";
  umask(mask);
  const std::string restored = test::ReadFile(dir / "config.xml");
  EXPECT_NE(restored.find("<Inbound path=\"" + (dir / "in") + "\" />"), std::string::npos) << restored;
  CPConfig again;
  ASSERT_EQ(LoadConfig(again, dir / "config.xml"), 0);
  EXPECT_TRUE(ValidateConfig(again));
}

TEST_F(Backup, WithoutTheStateFolderNothingIsStoredOrRestored) {
  std::filesystem::remove(dir / "state");
  BackupConfig(config);
  EXPECT_FALSE(std::filesystem::exists(dir / "state"));
  test::WriteFile(dir / "config.xml", "broken");
  EXPECT_FALSE(RestoreConfig(dir / "config.xml"));
  EXPECT_EQ(test::ReadFile(dir / "config.xml"), "broken");
}

TEST_F(Backup, ADamagedBackupLeavesTheFileAlone) {
  BackupConfig(config);
  const std::string good = test::ReadFile(BackupLocation());
  const std::string damaged[] = {
      good.substr(0, good.size() - 8),      // a block short
      std::string(good.size(), 'x'),        // not ours
      good.substr(0, 8) + good.substr(16),  // a block missing in the middle
      "",                                   // empty
  };
  for (const auto& bytes : damaged) {
    test::WriteFile(BackupLocation(), bytes);
    test::WriteFile(dir / "config.xml", "broken");
    EXPECT_FALSE(RestoreConfig(dir / "config.xml"));
    EXPECT_EQ(test::ReadFile(dir / "config.xml"), "broken");
  }
}

}  // namespace
}  // namespace zel
