// Fuzz targets for everything zel parses from outside: config.xml, document envelopes, ticket
// files, chunked bodies, response heads and bodies, Base64, the POP3 command loop and mail
// composition. One entry point; the first byte picks the target, so one corpus per target can be
// replayed by the same program.
#include "fuzz/Targets.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aslib/ASChunkReader.h"
#include "aslib/ASHttp.h"
#include "aslib/ASMimeMessage.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "engine/CPTicket.h"
#include "mail/MailComposer.h"
#include "mail/MailSession.h"
#include "mail/Pop3Session.h"
#include "mail/SmtpSession.h"
#include "platform/Files.h"
#include "platform/Listeners.h"

namespace zel::fuzz {
namespace {

std::string ScratchFile(const std::string& bytes, const char* suffix) {
  std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zelfuzz-" +
                     std::to_string(getpid()) + suffix;
  int error = 0;
  WriteFileAtomically(path, bytes, &error);
  return path;
}

class Pieces : public ASReceiver {
 public:
  Pieces(const std::string& data, size_t size) : data_(data), size_(size ? size : 1) {}
  int64_t receive(ASVariableBuffer& into) override {
    if (at_ >= data_.size()) return 0;
    size_t n = std::min(size_, data_.size() - at_);
    into.append(data_.data() + at_, int64_t(n));
    at_ += n;
    return int64_t(n);
  }

 private:
  const std::string& data_;
  size_t size_, at_ = 0;
};

// A mailbox folder with three documents (one without an envelope identifier), put back before
// every input, since a DELE and QUIT among the input deletes them.
struct FuzzMailbox {
  FuzzMailbox() {
    root = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zelfuzz-pop3-" +
           std::to_string(getpid());
    std::filesystem::create_directories(root + "/in");
    std::filesystem::create_directories(root + "/bad");
    folders.Inbound = root + "/in";
    folders.Bad = root + "/bad";
    auto account = std::make_shared<CPConfigAccount>();
    account->login = "Alice";
    account->ParticipantID = "P";
    account->plainPassword = SecretString("secret");
    accounts.push_back(account);
    shared->failedLoginDelay = std::chrono::milliseconds(0);
  }
  ~FuzzMailbox() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  void refill() {
    static const char* kDocuments[][2] = {
        {"a.xml",
         "<Envelope><RoutingInf><EnvelopeID>E1</EnvelopeID><SenderInformation>smtp://h/s"
         "</SenderInformation><ReceiverInformation>smtp://r/t</ReceiverInformation></RoutingInf></Envelope>"},
        {"b.xml",
         "<Envelope><RoutingInf><SenderInformation>smtp://h/s</SenderInformation>"
         "<ReceiverInformation>smtp://r/t</ReceiverInformation></RoutingInf><x>.\r\n.</x></Envelope>"},
        {"c.xml",
         "<Envelope><RoutingInf><EnvelopeID>E3</EnvelopeID><SenderInformation>smtp://h/s"
         "</SenderInformation><ReceiverInformation>smtp://r/t</ReceiverInformation></RoutingInf>"
         "<y>0123456789012345678901234567890123456789012345678901234567890123456789</y></Envelope>"},
    };
    for (const auto& d : kDocuments) {
      const std::string path = root + "/in/" + d[0];
      int error = 0;
      if (!std::filesystem::exists(path)) WriteFileAtomically(path, d[1], &error);
    }
  }
  std::string root;
  CPConfigPaths folders;
  std::vector<std::shared_ptr<CPConfigAccount>> accounts;
  std::shared_ptr<MailerShared> shared = std::make_shared<MailerShared>();
};

}  // namespace

void Pop3Commands(const std::string& bytes) {
  static FuzzMailbox mailbox;
  mailbox.refill();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  // The client side, in step with the server: one line (up to its CR LF) at a time, sent once the
  // reply to the line before has begun, so that no command is lost as a pipelined one; every reply
  // is read and dropped.
  std::thread client([fd = fds[1], &bytes] {
    char sink[65536];
    pollfd greeting{fd, POLLIN, 0};
    bool open = ::poll(&greeting, 1, 2000) > 0 && ::recv(fd, sink, sizeof sink, 0) > 0;
    for (size_t at = 0; open && at < bytes.size();) {
      size_t end = bytes.find("\r\n", at);
      end = end == std::string::npos ? bytes.size() : end + 2;
      for (size_t sent = at; sent < end;) {
        ssize_t n = ::send(fd, bytes.data() + sent, end - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          open = false;
          break;
        }
        sent += size_t(n);
      }
      at = end;
      // Only a whole line is answered.
      if (end < 2 || bytes.compare(end - 2, 2, "\r\n") != 0) break;
      pollfd p{fd, POLLIN, 0};
      if (open && ::poll(&p, 1, 2000) > 0) open = ::recv(fd, sink, sizeof sink, 0) > 0;
    }
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
    ::close(fd);
  });
  RunPop3Session(std::make_unique<MailSession>(TcpConnection::Adopt(fds[0], "127.0.0.1", 110), "127.0.0.1", 110,
                                               mailbox.accounts, mailbox.folders, mailbox.shared));
  client.join();
}

// The first byte is the length of the attachment name that follows; the rest is the document.
// A described document must compose to a message whose body decodes to the document and in
// which no line is a single period.
void Composition(const std::string& bytes) {
  if (bytes.empty()) return;
  const size_t nameLength = std::min<size_t>(uint8_t(bytes[0]), bytes.size() - 1);
  const std::string name = bytes.substr(1, nameLength), document = bytes.substr(1 + nameLength);
  const std::string path = ScratchFile(document, ".xml");
  fileEntry entry{path, 0, uint32_t(document.size()), name};
  std::shared_ptr<pop3PacketInfo> info = BuildMessageInfo(entry);
  ASVariableBuffer content;
  content.append(document);
  const std::optional<std::string> text = name;
  auto full =
      ComposeMailMessage(info ? info->fromAddress : text, info ? info->toAddress : text, info ? info->boundary : text,
                         info ? info->dateText : text, text, content.length() ? &content : nullptr, false);
  auto head = ComposeMailMessage(text, text, text, text, text, nullptr, true);
  unlink(path.c_str());
  if (!full || !head) return;
  const std::string message = full->unreadBytes();
  // Made while sent, the same message, of the length told before.
  std::string streamed;
  size_t at = 0;
  const bool made = StreamMailMessage(
      info ? info->fromAddress : text, info ? info->toAddress : text, info ? info->boundary : text,
      info ? info->dateText : text, text, int64_t(document.size()),
      [&](char* to, int64_t n) {
        int64_t got = std::min<int64_t>(n, int64_t(document.size() - at));
        std::memcpy(to, document.data() + at, size_t(got));
        at += size_t(got);
        return got;
      },
      [&](const char* d, size_t n) { return streamed.append(d, n), true; });
  if (!made || streamed != message) std::abort();
  if (ComposedLength(info ? info->fromAddress : text, info ? info->toAddress : text, info ? info->boundary : text,
                     info ? info->dateText : text, text, int64_t(document.size())) != int64_t(message.size()))
    std::abort();
  if (info) {
    if (message.compare(0, 3, ".\r\n") == 0 || message.find("\n.\r\n") != std::string::npos) std::abort();
    const std::string start = "Content-Transfer-Encoding: base64\r\n\r\n";
    const size_t from = message.find(start) + start.size();
    const size_t end = message.rfind("\r\n\r\n--");
    if (CPBase64::decode(message.substr(from, end - from)) != document) std::abort();
    if (info->messageSize - EstimateBodySize(int64_t(document.size())) != int64_t(message.size()) - int64_t(end - from))
      std::abort();
  }
}

void Config(const std::string& bytes) {
  const std::string path = ScratchFile(bytes, ".xml");
  CPConfig config;
  LoadConfig(config, path);
  ASVariableBuffer out;
  WriteConfig(config, out);
  unlink(path.c_str());
}

void Envelope(const std::string& bytes) {
  ASVariableBuffer buffer;
  buffer.append(bytes);
  ReadEnvelopeBuffer(buffer);
}

void Ticket(const std::string& bytes) {
  const std::string path = ScratchFile(bytes, ".ticket");
  CPTicket ticket;
  LoadTicket(path, ticket);
  unlink(path.c_str());
}

void Chunked(const std::string& bytes) {
  if (bytes.empty()) return;
  const size_t piece = size_t(uint8_t(bytes[0])) + 1;
  ASChunkReader reader;
  std::string pending;
  for (size_t at = 1; at < bytes.size() || !pending.empty();) {
    size_t take = std::min(piece, bytes.size() - std::min(at, bytes.size()));
    pending.append(bytes, std::min(at, bytes.size()), take);
    at += take;
    if (pending.empty()) break;
    int64_t left = reader.feed(pending.data(), int64_t(pending.size()));
    reader.clearOutput();
    if (left < 0 || reader.state() == ASChunkReader::kFinished) break;
    if (size_t(left) == pending.size() && take == 0) break;
    pending.erase(0, pending.size() - size_t(left));
  }
}

void Response(const std::string& bytes) {
  if (bytes.empty()) return;
  const std::string data = bytes.substr(1);
  Pieces receiver(data, size_t(uint8_t(bytes[0])) * 7 + 1);
  ASVariableBuffer received, body;
  readResponse(receiver, received, body);
}

void Base64(const std::string& bytes) {
  std::string decoded = CPBase64::decode(bytes);
  if (CPBase64::decode(CPBase64().encode(decoded)) != decoded) std::abort();
}

void Mime(const std::string& bytes) {
  ASVariableBuffer buffer;
  if (!bytes.empty()) buffer.append(bytes);
  ASMimeMessage message;
  message.parse(buffer);
  std::vector<std::shared_ptr<mimePart>> parts = message.parts();
  if (message.rootPart()) parts.push_back(message.rootPart());
  for (const auto& part : parts) {
    if (part->offset < 0 || part->length < 0 || part->offset + part->length > buffer.length()) std::abort();
    auto base64 = ASMimeMessage::decodeBase64Body(*part, buffer);
    auto quoted = ASMimeMessage::decodeQuotedPrintableBody(*part, buffer);
    if (!base64 || base64->length() > part->length) std::abort();
    if (quoted && quoted->length() > part->length) std::abort();
  }
  message.findAttachment();
}

// A client that sends the input in pieces of a size its first byte picks, takes every reply, and
// hangs up at the end of the input.
class ScriptedClient : public ByteStream {
 public:
  ScriptedClient(std::string data, size_t piece) : data_(std::move(data)), piece_(piece ? piece : 1) {}
  int wait(bool, int, int*) override { return 1; }
  int64_t send(const void*, size_t n, int*) override { return int64_t(n); }
  int64_t recv(void* into, size_t n, int*) override {
    const size_t take = std::min({n, piece_, data_.size() - at_});
    std::memcpy(into, data_.data() + at_, take);
    at_ += take;
    return int64_t(take);
  }

 private:
  std::string data_;
  size_t piece_, at_ = 0;
};

// Mailer state whose failed logins answer at once, so that the fuzzer does not wait 2 s each.
std::shared_ptr<MailerShared> NoDelayShared() {
  auto shared = std::make_shared<MailerShared>();
  shared->failedLoginDelay = std::chrono::milliseconds(0);
  return shared;
}

void Smtp(const std::string& bytes) {
  if (bytes.empty()) return;
  static const std::string outbound = [] {
    std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zelfuzz-smtpXXXXXX";
    return std::string(mkdtemp(pattern.data()));
  }();
  auto alice = std::make_shared<CPConfigAccount>();
  alice->login = "alice";
  alice->plainPassword = SecretString("secretA");
  CPConfigPaths folders;
  folders.Outbound = outbound;
  folders.subdirsByLogin = bytes[0] & 1;
  auto session = std::make_unique<MailSession>(
      std::make_unique<ScriptedClient>(bytes.substr(1), size_t(uint8_t(bytes[0])) * 97 + 1), "127.0.0.1", 1,
      std::vector<std::shared_ptr<CPConfigAccount>>{alice}, folders, NoDelayShared());
  RunSmtpSession(std::move(session));
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(outbound, ec))
    std::filesystem::remove_all(entry.path(), ec);
}

void Run(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] == kPop3Selector) return Pop3Commands(bytes);
  if (data[0] == kCompositionSelector) return Composition(bytes);
  // 'M' picks the MIME parser, 'S' the SMTP command loop; every other first byte keeps its place among the first six
  // targets.
  if (data[0] == 'M') return Mime(bytes);
  if (data[0] == 'S') return Smtp(bytes);
  switch (data[0] % 6) {
    case 0: Config(bytes); break;
    case 1: Envelope(bytes); break;
    case 2: Ticket(bytes); break;
    case 3: Chunked(bytes); break;
    case 4: Response(bytes); break;
    case 5: Base64(bytes); break;
  }
}

}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::Run(data, size);
  return 0;
}
