// zel -i and -u against a systemctl that fails, a unit the package owns, and systemd's own checks
// of the unit text (verify, and the offline security rating of its hardening).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "platform/ServiceHost.h"
#include "service/Installer.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

// A systemctl that records its calls and answers each verb with a status and a text.
struct FakeSystemctl {
  std::map<std::string, std::pair<int, std::string>> answers;
  std::vector<std::string> calls;
  Systemctl fn() {
    return [this](const std::vector<std::string>& arguments, std::string* output) {
      std::string call;
      for (const auto& a : arguments) call += (call.empty() ? "" : " ") + a;
      calls.push_back(call);
      auto found = answers.find(arguments[0]);
      if (found == answers.end()) return 0;
      *output = found->second.second;
      return found->second.first;
    };
  }
};

class Installer : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "installing needs root";
    std::filesystem::create_directories(dir / "units");
    std::filesystem::create_directories(dir / "package");
    setenv("ZEL_STATE_DIR", (dir / "state").c_str(), 1);
    folders = {dir / "units", dir / "package", false};
  }
  void TearDown() override { unsetenv("ZEL_STATE_DIR"); }
  std::string Install(const std::optional<std::string>& config, const Systemctl& systemctl) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    InstallService(config, folders, systemctl);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "") << "nothing goes to standard error";
    return testing::internal::GetCapturedStdout();
  }
  std::string Uninstall(const Systemctl& systemctl) {
    testing::internal::CaptureStdout();
    UninstallService(folders, systemctl);
    return testing::internal::GetCapturedStdout();
  }
  std::string Unit() { return test::ReadFile(dir / "units/CarvossService.service"); }
  test::ScratchDir dir;
  UnitFolders folders;
};

TEST_F(Installer, AFailedEnableIsReportedWithSystemctlsReasonAndTakesTheUnitBack) {
  FakeSystemctl systemctl;
  systemctl.answers["enable"] = {1, "Created symlink...\nFailed to enable unit: Access denied\n"};
  EXPECT_EQ(Install(std::nullopt, systemctl.fn()),
            "systemctl enable CarvossService.service failed, exit status 1: Failed to enable unit: Access denied\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "units/CarvossService.service")) << "nothing half-done";
  EXPECT_EQ(systemctl.calls,
            (std::vector<std::string>{"daemon-reload", "enable CarvossService.service", "daemon-reload"}));

  systemctl.answers.clear();
  systemctl.calls.clear();
  EXPECT_EQ(Install(std::nullopt, systemctl.fn()), "Service installed successfully\n");
  EXPECT_EQ(systemctl.calls, (std::vector<std::string>{"daemon-reload", "enable CarvossService.service"}));

  systemctl.answers["disable"] = {1, "Failed to disable unit: Unit file is masked.\n"};
  EXPECT_EQ(Uninstall(systemctl.fn()),
            "systemctl disable CarvossService.service failed, exit status 1: Failed to disable unit: Unit file is "
            "masked.\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "units/CarvossService.service"));
  systemctl.answers.clear();
  systemctl.answers["stop"] = {5, "Failed to stop CarvossService.service: Unit not loaded.\n"};
  EXPECT_EQ(Uninstall(systemctl.fn()), "Service uninstalled successfully\n") << "a stop that fails is no reason";
}

TEST_F(Installer, ARelativeConfigPathBecomesAbsolute) {
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(Install(std::string("conf/../my.xml"), nullptr), "Service installed successfully\n");
  std::filesystem::current_path(cwd);
  EXPECT_NE(Unit().find(" -c " + (dir / "my.xml") + "\n"), std::string::npos) << Unit();
}

TEST_F(Installer, APackagedUnitOwnsTheService) {
  test::WriteFile(dir / "package/CarvossService.service", UnitFileText("/usr/sbin/zel -c /etc/zel/config.xml"));
  FakeSystemctl systemctl;
  EXPECT_EQ(Install(std::nullopt, systemctl.fn()), "CreateService failed, error 0x00000011\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "units/CarvossService.service"));
  EXPECT_EQ(Uninstall(systemctl.fn()),
            "The service CarvossService belongs to the zel package: remove the package instead\n");
  EXPECT_TRUE(systemctl.calls.empty()) << "the package's service is left alone";
}

TEST(RunCapturingOutput, CatchesBothStreamsAndTheStatus) {
  std::string output;
  testing::internal::CaptureStderr();
  int status = RunCapturingOutput({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, &output);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, 3);
  EXPECT_EQ(output, "out\nerr\n");
  EXPECT_EQ(RunCapturingOutput({"/no/such/program"}, &output), -1);
}

// systemd's own judgement of the unit: no complaints from verify, and the offline security rating.
TEST(UnitFile, SystemdVerifiesItAndRatesItsExposureAtMostThree) {
  if (!std::filesystem::exists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "no systemd-analyze";
  test::ScratchDir dir;
  const std::string unit = dir / "CarvossService.service";
  test::WriteFile(unit, UnitFileText("/bin/true -c /etc/zel/config.xml"));
  const std::string text = test::ReadFile(unit);
  // Every option has its one-line comment just above it.
  std::istringstream lines(text);
  std::string line, previous;
  bool inService = false;
  while (std::getline(lines, line)) {
    if (line == "[Service]") inService = true;
    if (inService && !line.empty() && line[0] != '#' && line[0] != '[' && line.rfind("ExecStart=", 0) != 0) {
      EXPECT_EQ(previous.rfind("# ", 0), 0u) << line;
    }
    if (line == "[Install]") inService = false;
    previous = line;
  }
  for (const char* option :
       {"PrivateTmp=yes", "NoNewPrivileges=yes", "ProtectSystem=full", "ReadWritePaths=-/etc/zel",
        "ProtectKernelTunables=yes", "ProtectKernelModules=yes", "ProtectControlGroups=yes", "RestrictNamespaces=yes",
        "LockPersonality=yes", "MemoryDenyWriteExecute=yes", "SystemCallArchitectures=native", "Restart=on-failure",
        "RestartPreventExitStatus=78", "StartLimitBurst=5", "CAP_LEASE", "CAP_NET_BIND_SERVICE"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  EXPECT_EQ(text.find("UMask="), std::string::npos) << "delivered documents stay readable by the folder's users";

  test::ChildProcess verify({"/usr/bin/systemd-analyze", "verify", unit}, {}, dir / "verify.txt");
  EXPECT_EQ(verify.wait(), 0) << verify.output();
  EXPECT_EQ(verify.output(), "");
  test::ChildProcess security({"/usr/bin/systemd-analyze", "security", "--offline=true", "--no-pager", unit},
                              {"SYSTEMD_COLORS=0"}, dir / "security.txt");
  EXPECT_EQ(security.wait(), 0) << security.output();
  std::smatch level;
  const std::string report = security.output();
  ASSERT_TRUE(std::regex_search(report, level, std::regex("Overall exposure level for \\S+: ([0-9.]+)"))) << report;
  EXPECT_LE(std::stod(level[1]), 3.0) << report;
}

}  // namespace
}  // namespace zel
