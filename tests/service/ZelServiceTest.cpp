#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

// A copy of zel in a base folder with a valid configuration, run as a real process.
class ZelService : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "zel");
    for (const char* name : {"in", "out", "bad", "queue", "temp", "log", "state"})
      std::filesystem::create_directory(dir / name);
    test::WriteFile(dir / "config.xml",
                    "<config><Basedir path='" + dir.path() +
                        "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
                        "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/>"
                        "<Logfile path='$basedir/log/zel.log'/>"
                        "<Server port='443' list='/l' get='/g' post='/p' remove='/r'/></config>");
  }
  std::vector<std::string> Env(const std::string& notify = "") {
    return {"NOTIFY_SOCKET=" + notify, "ZEL_STATE_DIR=" + (dir / "state"), "ZEL_UNIT_DIR=" + (dir / "units")};
  }
  std::string Log() { return test::ReadFile(dir / "log/zel.log"); }
  bool WaitForLog(const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  test::ScratchDir dir;
};

// The datagram socket systemd would listen on.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    timeval slice{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  }
  ~NotifySocket() { close(fd_); }
  // Collects messages until one equals `until` (or 15 s pass).
  bool ReadUntil(const std::string& until) {
    for (int i = 0; i < 150; ++i) {
      char message[4096];
      ssize_t n = recv(fd_, message, sizeof message, 0);
      if (n > 0) {
        messages.emplace_back(message, size_t(n));
        if (messages.back() == until) return true;
      }
    }
    return false;
  }
  std::vector<std::string> messages;

 private:
  std::string path_;
  int fd_;
};

TEST_F(ZelService, UnderSystemdReportsEachStateAndObeysTheControlSignals) {
  NotifySocket notify(dir / "notify");
  test::ChildProcess zel({dir / "zel", "-c", dir / "config.xml"}, Env(dir / "notify"), dir / "out.txt");
  ASSERT_TRUE(zel.started());
  ASSERT_TRUE(notify.ReadUntil("READY=1\nSTATUS=Running"));
  ASSERT_TRUE(WaitForLog("started"));
  zel.signal(SIGUSR1);
  ASSERT_TRUE(notify.ReadUntil("STATUS=Paused"));
  zel.signal(SIGUSR2);
  ASSERT_TRUE(notify.ReadUntil("READY=1\nSTATUS=Running"));
  zel.signal(SIGTERM);
  ASSERT_TRUE(notify.ReadUntil("STATUS=Stopped"));
  EXPECT_EQ(zel.wait(), 0);
  const std::vector<std::string> expected = {"STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000",
                                             "READY=1\nSTATUS=Running",
                                             "STATUS=Pausing",
                                             "STATUS=Pausing",
                                             "STATUS=Paused",
                                             "STATUS=Resuming",
                                             "STATUS=Resuming",
                                             "READY=1\nSTATUS=Running",
                                             "STOPPING=1",
                                             "STOPPING=1",
                                             "STATUS=Stopped"};
  EXPECT_EQ(notify.messages, expected);
  const std::string log = Log();
  for (const char* line : {" Velmor Carvoss v. 2.1.0444 started\r\n", " Velmor Carvoss v. 2.1.0444 paused\r\n",
                           " Velmor Carvoss v. 2.1.0444 resumed\r\n", " Velmor Carvoss v. 2.1.0444 stopped\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  EXPECT_EQ(zel.output(), "") << "a service writes nothing to its console";
  EXPECT_TRUE(std::filesystem::exists(dir / "state/config.backup"));
}

TEST_F(ZelService, ForegroundWritesTheConsoleAndTheLogAndDebugOnlyWithDashD) {
  for (bool debug : {false, true}) {
    // The first run's log would show "started" before the second run has begun.
    std::filesystem::remove(dir / "log/zel.log");
    std::vector<std::string> argv = {dir / "zel", "-f", "-c", dir / "config.xml"};
    if (debug) argv.push_back("-d");
    test::ChildProcess zel(argv, Env(), dir / "out.txt");
    ASSERT_TRUE(WaitForLog(" started\r\n"));
    std::this_thread::sleep_for(100ms);
    zel.signal(SIGINT);
    EXPECT_EQ(zel.wait(), 0);
    const std::string console = zel.output(), log = Log();
    EXPECT_NE(console.find(" Velmor Carvoss v. 2.1.0444 started\r\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("started"), console.rfind("started")) << "written once, from the file channel";
    EXPECT_NE(log.find(" Velmor Carvoss v. 2.1.0444 stopped\r\n"), std::string::npos) << "an orderly end";
    EXPECT_EQ(log.find("[D]") != std::string::npos, debug) << log;
    EXPECT_EQ(console.find("[D] ") != std::string::npos, debug) << console;
    if (debug) {
      EXPECT_NE(log.find(" Attempting to retrieve file list\r\n"), std::string::npos);
    }
  }
}

TEST_F(ZelService, ForegroundConfigErrorsGoToTheConsoleAndEndTheRun) {
  test::WriteFile(dir / "config.xml", "<config><Basedir path='/not/there'/></config>");
  test::ChildProcess zel({dir / "zel", "-f", "-c", dir / "config.xml"}, Env(), dir / "out.txt");
  EXPECT_EQ(zel.wait(), 0);
  EXPECT_NE(zel.output().find("[E] "), std::string::npos);
  EXPECT_NE(zel.output().find(" Basedir path /not/there does not exist\r\n"), std::string::npos) << zel.output();
}

class ZelInstall : public ZelService {
 protected:
  std::string Run(const std::string& folder, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {folder + "/zel"};
    argv.insert(argv.end(), args.begin(), args.end());
    test::ChildProcess zel(argv, Env(), dir / "install.txt");
    zel.wait();
    return zel.output();
  }
};

TEST_F(ZelInstall, WritesAUnitSystemdAcceptsWithQuotedPathsAndRemovesIt) {
  if (geteuid() != 0) GTEST_SKIP() << "installing needs root";
  const std::string folder = dir / "Program Files/zel 100%";
  std::filesystem::create_directories(folder);
  std::filesystem::create_directory(dir / "units");
  std::filesystem::copy_file(dir / "zel", folder + "/zel");
  std::filesystem::remove(dir / "state");
  EXPECT_EQ(Run(folder, {"-i", "-c", dir / "my config.xml"}), "Service installed successfully\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "state")) << "the installation creates the state folder";
  const std::string unit = test::ReadFile(dir / "units/CarvossService.service");
  EXPECT_NE(unit.find("ExecStart=\"" + folder.substr(0, folder.size() - 1) + "%%/zel\" -c \"" +
                      (dir / "my config.xml") + "\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
  test::ChildProcess verify({"/usr/bin/systemd-analyze", "verify", dir / "units/CarvossService.service"}, {},
                            dir / "verify.txt");
  EXPECT_EQ(verify.wait(), 0) << verify.output();
  EXPECT_EQ(verify.output(), "");

  EXPECT_EQ(Run(folder, {"-i"}), "CreateService failed, error 0x00000011\n") << "installed already";
  EXPECT_EQ(Run(folder, {"-ev"}), "");
  EXPECT_EQ(Run(folder, {"-u"}), "Service uninstalled successfully\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "units/CarvossService.service"));
  EXPECT_EQ(Run(folder, {"-u"}), "OpenService failed, error 2\n");
}

TEST_F(ZelInstall, WithoutRootAsksForAnAdministrator) {
  if (geteuid() != 0 || !std::filesystem::exists("/usr/sbin/runuser")) GTEST_SKIP() << "needs root and runuser";
  // Outside the private TMPDIR, so that nobody may run the copy.
  char pattern[] = "/tmp/zelnobody.XXXXXX";
  const std::string open = mkdtemp(pattern);
  std::filesystem::permissions(open, std::filesystem::perms::owner_all | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  std::filesystem::copy_file(dir / "zel", open + "/zel");
  for (const char* action : {"-i", "-u"}) {
    test::ChildProcess zel({"/usr/sbin/runuser", "-u", "nobody", "--", open + "/zel", action}, Env(), dir / "o.txt");
    zel.wait();
    EXPECT_EQ(zel.output(), "Please, run as administrator\n") << action;
  }
  std::filesystem::remove_all(open);
}

}  // namespace
}  // namespace zel
