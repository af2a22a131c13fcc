// zel as a real process with its mail gateway on, against the test exchange server, driven by real
// mail clients: Python's smtplib (with a raw dialogue checked byte for byte), swaks and curl.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "aslib/CPBase64.h"
#include "tests/engine/ExchangeWorld.h"
#include "tests/mail/SmtpWorld.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;
const std::string kHere = std::string(ZEL_SOURCE_DIR) + "/tests/mail";

TEST(SmtpClients, PythonSmtplibAndARawDialogueGetEveryReplyByteForByte) {
  SmtpWorld mail;
  const std::string docs = mail.dir("expected");
  fs::create_directories(docs);
  std::string output;
  EXPECT_EQ(mail.run({"/usr/bin/python3", kHere + "/smtp_dialogue.py", std::to_string(mail.smtpPort), docs}, &output),
            0)
      << output;
  size_t checked = 0;
  for (const auto& e : fs::directory_iterator(docs)) {
    const std::string id = e.path().stem().string();
    SCOPED_TRACE(id);
    ASSERT_TRUE(mail.world->WaitFor([&] { return mail.landed(id).has_value(); }, 10));
    EXPECT_EQ(*mail.landed(id), ReadFile(e.path().string()));
    ++checked;
  }
  EXPECT_EQ(checked, 6u);
  for (const char* id : {"NOT-1", "NOT-2", "NOT-3"}) EXPECT_FALSE(mail.landed(id)) << id;
  EXPECT_FALSE(fs::exists(mail.dir("escape.xml")));
  const std::string log = mail.world->Log();
  EXPECT_TRUE(Contains(log, "Not valid SMTP packet from user alice"));
  EXPECT_TRUE(Contains(log, "Cannot authenticate SMTP user alice"));
  EXPECT_TRUE(Contains(log, "envelope identifier ../escape is not a plain file name"));
  // No password and no authentication response reaches the log, not even at debug level.
  for (const char* secret : {"secretA", "secreta", "c2VjcmV0QQ==", "AGFsaWNlAHNlY3JldEE="})
    EXPECT_FALSE(Contains(log + ReadFile(mail.dir("zel.out")), secret)) << secret;
}

TEST(SmtpClients, SwaksAndCurlMailDocumentsInEveryAuthenticationForm) {
  SmtpWorld mail(true);
  struct Client {
    const char* name;
    std::vector<std::string> argv;  // the document's path and the mail's path are appended below
  };
  int n = 0;
  const std::string port = std::to_string(mail.smtpPort);
  const std::string url = "smtp://127.0.0.1:" + port;
  auto swaks = [&](const char* mechanism) {
    return std::vector<std::string>{"/usr/bin/swaks",
                                    "--server",
                                    "127.0.0.1:" + port,
                                    "--auth",
                                    mechanism,
                                    "--auth-user",
                                    "alice",
                                    "--auth-password",
                                    "secretA",
                                    "--to",
                                    "gateway@edh.example",
                                    "--from",
                                    "declarant@customs.example",
                                    "--header",
                                    "Subject: EDS",
                                    "--attach-type",
                                    "application/xml",
                                    "--attach"};
  };
  auto curl = [&](const char* options, bool initial) {
    std::vector<std::string> argv = {"/usr/bin/curl",
                                     "-sS",
                                     url,
                                     "--mail-from",
                                     "declarant@customs.example",
                                     "--mail-rcpt",
                                     "gateway@edh.example",
                                     "--user",
                                     "alice:secretA",
                                     "--login-options",
                                     options};
    if (initial) argv.push_back("--sasl-ir");
    argv.push_back("--upload-file");
    return argv;
  };
  const Client clients[] = {
      {"swaks PLAIN", swaks("PLAIN")},           {"swaks LOGIN", swaks("LOGIN")},
      {"curl PLAIN", curl("AUTH=PLAIN", false)}, {"curl PLAIN with initial response", curl("AUTH=PLAIN", true)},
      {"curl LOGIN", curl("AUTH=LOGIN", false)}, {"curl LOGIN with initial response", curl("AUTH=LOGIN", true)},
  };
  for (const auto& c : clients) {
    SCOPED_TRACE(c.name);
    const std::string id = "CLIENT-" + std::to_string(++n);
    const std::string doc = Document(id, 5000);
    WriteFile(mail.dir(id + ".xml"), doc);
    WriteFile(mail.dir(id + ".eml"), MailWith(doc));
    std::vector<std::string> argv = c.argv;
    argv.push_back(c.argv[0] == "/usr/bin/swaks" ? "@" + mail.dir(id + ".xml") : mail.dir(id + ".eml"));
    std::string output;
    EXPECT_EQ(mail.run(argv, &output), 0) << output;
    ASSERT_TRUE(mail.world->WaitFor([&] { return mail.landed(id).has_value(); }, 10)) << output;
    EXPECT_EQ(*mail.landed(id), doc);
  }
  // curl with a wrong password: refused after the failure delay, nothing stored.
  WriteFile(mail.dir("wrong.eml"), MailWith(Document("WRONG")));
  std::vector<std::string> argv = curl("AUTH=PLAIN", true);
  argv[8] = "alice:wrong";
  argv.push_back(mail.dir("wrong.eml"));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_NE(mail.run(argv), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1900));
  EXPECT_FALSE(mail.landed("WRONG"));
}

}  // namespace
}  // namespace zel::test
