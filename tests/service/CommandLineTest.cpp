#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "service/CommandLine.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

struct ParseCase {
  std::vector<std::string> args;
  Action action;
  std::optional<std::string> config;
  bool debug;
};

TEST(ParseCommandLine, ActionsWinInTheirOrder) {
  const ParseCase cases[] = {
      {{}, Action::ServiceManager, std::nullopt, false},
      {{"-v", "-h"}, Action::Help, std::nullopt, false},
      {{"-i", "-u"}, Action::Install, std::nullopt, false},
      {{"-f", "-ev"}, Action::EventSource, std::nullopt, false},
      {{"-c", "-f"}, Action::ServiceManager, "-f", false},
      {{"-c", "a.xml", "-c", "b.xml", "-f"}, Action::Foreground, "b.xml", false},
      {{"-g", "-c", "other.xml"}, Action::Generate, "other.xml", false},
      {{"--HELP"}, Action::ServiceManager, std::nullopt, false},
      {{"-d", "--version", "--generate-config"}, Action::Version, std::nullopt, true},
      {{"--foreground", "--debug", "--config"}, Action::Foreground, std::nullopt, true},
      {{"--uninstall", "-x", "--install"}, Action::Install, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SetDebugLogging(false);
    CommandLine parsed = ParseCommandLine(c.args);
    std::string label = testing::PrintToString(c.args);
    EXPECT_EQ(parsed.action, c.action) << label;
    EXPECT_EQ(parsed.configPath, c.config) << label;
    EXPECT_EQ(parsed.debug, c.debug) << label;
    EXPECT_EQ(DebugLogging(), c.debug) << label;
  }
  SetDebugLogging(false);
}

// Runs a copy of zel from its own folder and returns what it printed.
class ZelProgram : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "zel");
    std::filesystem::permissions(dir / "zel", std::filesystem::perms::owner_all);
  }
  std::string Run(const std::string& args, int* status = nullptr) {
    std::string command = "cd " + dir.path() + " && env -u NOTIFY_SOCKET ./zel " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, pipe)) > 0) out.append(block, n);
    int rc = pclose(pipe);
    if (status) *status = WEXITSTATUS(rc);
    return out;
  }
  test::ScratchDir dir;
};

TEST_F(ZelProgram, PrintsHelpAndVersionExactly) {
  int status = -1;
  EXPECT_EQ(Run("-h", &status),
            "Usage: ZEL [options], where options are\n"
            "-c, --config [file]     XML config file (default set to config.xml)\n"
            "-i, --install           install service\n"
            "-u, --uninstall         uninstall service\n"
            "-f, --foreground        foreground mode\n"
            "-d, --debug             log debug mode\n"
            "-g, --generate-config   generate fresh config file\n"
            "-v, --version           print version\n"
            "-h, --help              this help\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Run("--version"), "Velmor Carvoss v. 2.1.0444\n");
  EXPECT_EQ(Run("", &status), "") << "outside systemd the hand-over says nothing";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Run("--HELP", &status), "");
  EXPECT_EQ(status, 0);
}

TEST_F(ZelProgram, GenerateWritesTheFreshConfigBesideTheProgram) {
  std::filesystem::create_directory(dir / "elsewhere");
  EXPECT_EQ(Run("-g -c elsewhere/other.xml"), "Config file " + (dir / "config.xml") + " generated successfully\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere/other.xml"));
  struct stat st {};
  ASSERT_EQ(stat((dir / "config.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "it will hold passwords";
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n"
      "<config>\r\n"
      "  <Basedir path=\"" +
      dir.path() +
      "\" />\r\n"
      "  <Inbound path=\"$basedir/in\" />\r\n"
      "  <Outbound path=\"$basedir/out\" />\r\n"
      "  <Bad path=\"$basedir/bad\" />\r\n"
      "  <Queue path=\"$basedir/queue\" />\r\n"
      "  <Temp path=\"$basedir/temp\" />\r\n"
      "  <Copy path=\"\" enabled=\"false\" />\r\n"
      "  <Logfile path=\"$basedir/log/zel.log\" />\r\n"
      "  <Subdirs enabled=\"false\" bylogin=\"false\" />\r\n"
      "  <Accounts>\r\n"
      "  </Accounts>\r\n"
      "  <Server port=\"443\" refresh=\"60\" list=\"/EDAP/list.php\" get=\"/EDAP/get.php\" post=\"/EDAP/send.php\" "
      "remove=\"/EDAP/rm.php\" textmessage=\"false\" compression=\"false\" />\r\n"
      "  <Proxy enabled=\"false\" auth=\"false\" ad=\"false\" />\r\n"
      "  <Mailserver enabled=\"false\" smtp_port=\"25\" pop3_port=\"110\" />\r\n"
      "  <Messages>\r\n"
      "  </Messages>\r\n"
      "</config>\r\n";
  EXPECT_EQ(test::ReadFile(dir / "config.xml"), expected);
  EXPECT_EQ(test::CountFiles(dir.path()), 3u) << "no temporary file stays beside it";
}

TEST_F(ZelProgram, GenerateReportsAFolderItCannotWrite) {
  if (geteuid() == 0) {
    // root writes anywhere; make the target a folder so the rename fails instead.
    std::filesystem::create_directory(dir / "config.xml");
  } else {
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  }
  std::string out = Run("-g");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(out.rfind("Cannot write config file " + (dir / "config.xml") + ", error ", 0), 0u) << out;
}

}  // namespace
}  // namespace zel
