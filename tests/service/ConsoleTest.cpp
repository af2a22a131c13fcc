// Server text messages reach real peers: a desktop notification service on a private session bus
// run by another user (the message is sent as that user), and a pseudo-terminal standing in for a
// text console. The active-session lookup is answered by the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/Console.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

class FixedLookup : public ActiveSessionLookup {
 public:
  explicit FixedLookup(std::optional<ConsoleSession> session) : session_(std::move(session)) {}
  std::optional<ConsoleSession> activeSession() override { return session_; }

 private:
  std::optional<ConsoleSession> session_;
};

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(ConsoleMessage, AGraphicalSessionGetsADesktopNotificationSentAsItsUser) {
  if (geteuid() != 0 || !std::filesystem::exists("/usr/bin/dbus-daemon") ||
      !std::filesystem::exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs root, dbus-daemon and setpriv";
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  // A folder the bus's user may write, outside the private TMPDIR.
  char pattern[] = "/tmp/zelbus.XXXXXX";
  const std::string dir = mkdtemp(pattern);
  ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const std::string address = "unix:path=" + dir + "/bus";
  const std::string server = std::string(ZEL_BINARY_DIR) + "/testing/notification_server";
  {
    // setpriv becomes the user and runs the program in its own place, so signals reach it directly.
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                               "--clear-groups", "--"};
    auto as = [&](std::vector<std::string> command) {
      command.insert(command.begin(), asNobody.begin(), asNobody.end());
      return command;
    };
    test::ChildProcess bus(as({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address}),
                           {}, dir + "/bus.log");
    ASSERT_TRUE(WaitForFile(dir + "/bus")) << test::ReadFile(dir + "/bus.log");
    test::ChildProcess notifications(as({server, dir + "/record"}), {"DBUS_SESSION_BUS_ADDRESS=" + address},
                                     dir + "/server.log");
    ASSERT_TRUE(WaitForFile(dir + "/record.ready")) << test::ReadFile(dir + "/server.log");

    SetActiveSessionLookup(
        std::make_shared<FixedLookup>(ConsoleSession{ConsoleSession::Kind::Graphical, nobody->pw_uid, "", address}));
    NotifyConsoleUser("Velmor Carvoss", "Добрый день!\nThe server will be down on Sunday.");
    SetActiveSessionLookup(nullptr);
    EXPECT_EQ(test::ReadFile(dir + "/record"), "uid " + std::to_string(nobody->pw_uid) +
                                                   "\napp zel\nicon dialog-information\nsummary Velmor Carvoss\n"
                                                   "body Добрый день!\nThe server will be down on Sunday.\n--\n");
    // A bus without a notification service: not delivered, and the wait is bounded.
    notifications.signal(SIGTERM);
    notifications.wait();
    EXPECT_FALSE(ShowInSession(ConsoleSession{ConsoleSession::Kind::Graphical, nobody->pw_uid, "", address}, "t", "x"))
        << "no notification service on the bus";
    bus.signal(SIGTERM);
    bus.wait();
  }
  std::filesystem::remove_all(dir);
}

// Reads what the terminal shows until `until` appears or 5 s pass.
std::string ReadTerminal(int master, const std::string& until, int slices = 50) {
  std::string seen;
  for (int i = 0; i < slices && seen.find(until) == std::string::npos; ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char block[4096];
    ssize_t got = read(master, block, sizeof block);
    if (got <= 0) break;
    seen.append(block, size_t(got));
  }
  return seen;
}

TEST(ConsoleMessage, ATextConsoleGetsTheMessageOnItsTerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string terminal = ttyname(slave);
  SetActiveSessionLookup(std::make_shared<FixedLookup>(std::nullopt));
  NotifyConsoleUser("Velmor Carvoss", "nobody sees this");
  EXPECT_EQ(ReadTerminal(master, "\x01", 3).find("nobody"), std::string::npos) << "no session, nothing shown";

  SetActiveSessionLookup(
      std::make_shared<FixedLookup>(ConsoleSession{ConsoleSession::Kind::Text, getuid(), terminal, ""}));
  NotifyConsoleUser("Velmor Carvoss", "line one\nline two");
  SetActiveSessionLookup(nullptr);
  // The terminal's own output processing may add a carriage return of its own before each feed.
  std::string shown = ReadTerminal(master, "line two");
  std::erase(shown, '\r');
  EXPECT_EQ(shown, "\nVelmor Carvoss\n\nline one\nline two\n");
  EXPECT_FALSE(ShowInSession(ConsoleSession{ConsoleSession::Kind::Text, getuid(), "/dev/no-such-tty", ""}, "t", "x"));
  close(slave);
  close(master);
}

}  // namespace
}  // namespace zel
