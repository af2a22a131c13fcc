// The whole road with ordinary mail clients, zel as one process against the test exchange server:
// a declaration mailed over SMTP is posted to the server, and the server's answer reaches a POP3
// client. And the kill test: zel killed at random moments while a client streams documents.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "aslib/CPBase64.h"
#include "tests/engine/ExchangeWorld.h"
#include "tests/mail/SmtpWorld.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;

// A blocking SMTP client that gives up after 15 s of silence.
class SmtpClient {
 public:
  explicit SmtpClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval t{15, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && reply().substr(0, 3) == "220";
  }
  ~SmtpClient() { ::close(fd_); }
  bool ok() const { return ok_; }
  bool send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return ok_ = false;
      at += size_t(n);
    }
    return true;
  }
  // The reply's code, or "" when the connection failed.
  std::string command(const std::string& line) { return send(line + "\r\n") ? reply().substr(0, 3) : ""; }
  // Logs in as alice and sends MAIL and RCPT.
  bool begin() {
    return command("EHLO road.example") == "250" &&
           command("AUTH PLAIN " + CPBase64().encode(std::string("\0alice\0secretA", 14))) == "235" &&
           command("MAIL FROM:<declarant@customs.example>") == "250" &&
           command("RCPT TO:<gateway@edh.example>") == "250";
  }
  // DATA, the dot-stuffed message and its end: the final reply's code.
  std::string message(const std::string& mail) {
    if (command("DATA") != "354") return "";
    std::string stuffed;
    for (size_t at = 0; at < mail.size();) {
      size_t end = mail.find("\r\n", at);
      end = end == std::string::npos ? mail.size() : end + 2;
      if (mail[at] == '.') stuffed += '.';
      stuffed.append(mail, at, end - at);
      at = end;
    }
    return send(stuffed + "\r\n.\r\n") ? reply().substr(0, 3) : "";
  }

 private:
  std::string reply() {
    std::string got, line;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
      line += c;
      if (c != '\n') continue;
      got += line;
      if (line.size() < 4 || line[3] != '-') break;  // the last line of a reply
      line.clear();
    }
    if (got.empty()) ok_ = false;
    return got;
  }
  int fd_ = -1;
  bool ok_ = false;
};

TEST(SmtpRoad, ADeclarationMailedInTravelsToTheServerAndTheAnswerReachesAPop3Client) {
  SmtpWorld mail;
  // 1, 2: mailed over SMTP, posted to the server byte for byte.
  const std::string declaration = Document("ROAD-1", 30000);
  {
    SmtpClient client(mail.smtpPort);
    ASSERT_TRUE(client.ok() && client.begin());
    EXPECT_EQ(client.message(MailWith(declaration)), "250");
    client.command("QUIT");
  }
  ASSERT_TRUE(mail.world->WaitFor([&] { return !mail.world->Posted("alice", "ROAD-1").empty(); }, 20));
  EXPECT_EQ(mail.world->Posted("alice", "ROAD-1"), declaration);

  // 3, 4: the server's answer is delivered into inbound.
  const std::string answer =
      "<?xml version=\"1.0\"?><ed:Envelope xmlns:ed='urn:e'><ed:EDHeader><ed:ParticipantID>PID-A"
      "</ed:ParticipantID></ed:EDHeader><ed:RoutingInf><ed:EnvelopeID>ANSWER-1</ed:EnvelopeID>"
      "<ed:SenderInformation>smtp://customs.example/office</ed:SenderInformation><ed:ReceiverInformation>"
      "smtp://broker.example/alice</ed:ReceiverInformation></ed:RoutingInf><Body>" +
      std::string(20000, 'a') + "</Body></ed:Envelope>";
  mail.world->PutInbox("alice", "answer.xml", answer);
  ASSERT_TRUE(mail.world->WaitFor([&] { return fs::exists(mail.dir("base/in/answer.xml")); }, 20));

  // 5, 6: fetched over POP3, the attachment is the answer; DELE and QUIT remove it from inbound.
  WriteFile(mail.dir("answer.expected"), answer);
  const std::string script =
      "import poplib, sys, email, email.policy\n"
      "p = poplib.POP3('127.0.0.1', int(sys.argv[1]), timeout=15)\n"
      "p.user('alice'); p.pass_('secretA')\n"
      "count, size = p.stat()\n"
      "assert count == 1, count\n"
      "m = email.message_from_bytes(b'\\r\\n'.join(p.retr(1)[1]), policy=email.policy.default)\n"
      "parts = [x for x in m.iter_attachments()]\n"
      "assert len(parts) == 1, parts\n"
      "assert parts[0].get_content() == open(sys.argv[2], 'rb').read() or "
      "parts[0].get_payload(decode=True) == open(sys.argv[2], 'rb').read()\n"
      "p.dele(1); p.quit()\n";
  WriteFile(mail.dir("fetch.py"), script);
  std::string output;
  EXPECT_EQ(
      mail.run({"/usr/bin/python3", mail.dir("fetch.py"), std::to_string(mail.pop3Port), mail.dir("answer.expected")},
               &output),
      0)
      << output;
  EXPECT_FALSE(fs::exists(mail.dir("base/in/answer.xml")));
}

// The files of a folder that are not documents: temporary names of a writer that did not finish.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(folder, ec))
    if (e.is_regular_file() && e.path().extension() != ".xml") found.push_back(e.path().string());
  return found;
}

TEST(SmtpRoad, KilledAtRandomMomentsNoAnsweredDocumentIsLostOrHalfPresent) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "runs in the optimised build only";
#endif
  SmtpWorld mail;
  // The client mails new documents for as long as the killer works, so the kills always land while
  // documents stream, however fast the machine finishes one.
  constexpr int kKills = 8, kMidData = 3, kMaxDocuments = 5000;
  std::vector<std::string> docs;
  for (int i = 0; i < kMaxDocuments; ++i) docs.push_back(Document("KILL-" + std::to_string(i), 4000 + 997 * (i % 20)));

  std::atomic<bool> inData{false}, enough{false}, done{false};
  std::atomic<int> mailed{0};
  std::set<int> answered;
  std::thread client([&] {
    std::unique_ptr<SmtpClient> c;
    for (int i = 0; i < kMaxDocuments && !enough; ++i) {
      for (int attempt = 0; attempt < 200; ++attempt) {
        if (!c || !c->ok()) {
          c = std::make_unique<SmtpClient>(mail.smtpPort);
          if (!c->ok() || !c->begin()) {
            c.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
          }
        }
        inData = true;
        const std::string code = c->message(MailWith(docs[size_t(i)]));
        inData = false;
        if (code == "250") {
          answered.insert(i);
          break;
        }
        c.reset();  // no answer: the client tries again on a new connection
      }
      mailed = i + 1;
    }
    done = true;
  });

  std::mt19937 random(12345);
  int kills = 0, midData = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (!done && (kills < kKills || midData < kMidData) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 100));
    if (done) break;
    midData += inData ? 1 : 0;
    mail.zel->signal(SIGKILL);
    mail.zel->wait();
    ++kills;
    // Whatever stands in outbound right after the kill is whole.
    std::error_code ec;
    for (auto& e : fs::directory_iterator(mail.dir("base/out"), ec)) {
      const std::string name = e.path().filename().string();
      if (e.path().extension() != ".xml") continue;
      const int i = std::atoi(name.c_str() + 5);
      EXPECT_EQ(ReadFile(e.path().string()), docs[size_t(i)]) << name << " is not whole after kill " << kills;
    }
    mail.start();
  }
  enough = true;
  client.join();
  const int kDocuments = mailed;
  std::cout << kills << " kills, " << midData << " during a message, " << answered.size() << " of " << kDocuments
            << " documents answered" << std::endl;
  EXPECT_GE(kills, kKills);
  EXPECT_GE(midData, kMidData) << "the kills must land while messages are being stored";
  EXPECT_EQ(answered.size(), size_t(kDocuments));

  // Everything answered travels on; nothing is half-present anywhere on the way. A document stored
  // just before a kill that took its answer is mailed again and posted again from outbound, perhaps
  // after its first copy reached the server: outbound is empty only once that is done too.
  ASSERT_TRUE(mail.world->WaitFor(
      [&] {
        for (int i : answered)
          if (mail.world->Posted("alice", "KILL-" + std::to_string(i)).empty()) return false;
        return mail.world->Count("base/out") == 0;
      },
      120));
  for (int i = 0; i < kDocuments; ++i) {
    const std::string id = "KILL-" + std::to_string(i);
    EXPECT_EQ(mail.world->Posted("alice", id), docs[size_t(i)]) << id;
  }
  EXPECT_TRUE(Leftovers(mail.dir("base/out")).empty());
  EXPECT_EQ(mail.world->Count("base/out"), 0u);
}

}  // namespace
}  // namespace zel::test
