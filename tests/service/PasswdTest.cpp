// zel-passwd as a real process: from a pipe, and on a pseudo-terminal where the password must not
// be echoed while the login is.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/PasswordCipher.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

const std::string kPasswd = std::string(ZEL_BINARY_DIR) + "/service/zel-passwd";

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

TEST(ZelPasswd, FromAPipePrintsTheStoredFormOfThePasswordForThatLogin) {
  test::ScratchDir dir;
  test::WriteFile(dir / "in", "alice\nпароль 1\n");
  test::ChildProcess passwd({"/bin/sh", "-c", kPasswd + " < " + (dir / "in")}, {}, dir / "out");
  EXPECT_EQ(passwd.wait(), 0);
  const std::string stored = Trim(passwd.output());
  OptSecret clear = DecryptText(std::string("alice"), stored);
  ASSERT_TRUE(clear) << stored;
  EXPECT_EQ(clear->str(), "пароль 1");
  EXPECT_FALSE(DecryptText(std::string("bob"), stored) && DecryptText(std::string("bob"), stored)->str() == "пароль 1");

  test::WriteFile(dir / "in", "alice\n");
  test::ChildProcess early({"/bin/sh", "-c", kPasswd + " < " + (dir / "in")}, {}, dir / "out");
  EXPECT_EQ(early.wait(), 1);
  EXPECT_EQ(early.output(), "zel-passwd: no password given\n");
}

// Reads from the terminal's master side until `until` shows (or 10 s pass).
std::string ReadUntil(int master, std::string& seen, const std::string& until) {
  for (int i = 0; i < 100 && seen.find(until) == std::string::npos; ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char block[512];
    ssize_t got = read(master, block, sizeof block);
    if (got <= 0) break;
    seen.append(block, size_t(got));
  }
  return seen;
}

TEST(ZelPasswd, OnATerminalPromptsAndNeverEchoesThePassword) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(kPasswd.c_str(), kPasswd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  ReadUntil(master, seen, "Login: ");
  ASSERT_NE(seen.find("Login: "), std::string::npos) << seen;
  ASSERT_EQ(write(master, "alice\n", 6), 6);
  ReadUntil(master, seen, "Password: ");
  ASSERT_NE(seen.find("Password: "), std::string::npos) << seen;
  ASSERT_EQ(write(master, "s3cret-word\n", 12), 12);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) ReadUntil(master, seen, "\x01");
  ReadUntil(master, seen, "\x01");
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_NE(seen.find("alice"), std::string::npos) << "the login is echoed";
  EXPECT_EQ(seen.find("s3cret-word"), std::string::npos) << "the password is not: " << seen;
  const std::string stored = Trim(seen.substr(seen.find("Password: ") + 10));
  std::string last = stored.substr(stored.find_last_of("\n") == std::string::npos ? 0 : stored.find_last_of("\n") + 1);
  OptSecret clear = DecryptText(std::string("alice"), Trim(last));
  ASSERT_TRUE(clear) << seen;
  EXPECT_EQ(clear->str(), "s3cret-word");
}

}  // namespace
}  // namespace zel
