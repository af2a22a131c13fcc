// One handler per command, found by name in a table that is also the HELP list. Multi-line
// responses are gathered and sent in one piece; RETR composes and sends the message piece by piece.
#include "mail/Pop3Session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "common/Version.h"
#include "mail/MailSession.h"
#include "mail/Mailbox.h"
#include "platform/Files.h"

namespace zel {
namespace {

using Argument = std::optional<std::string>;

class Pop3Session {
 public:
  explicit Pop3Session(MailSession& io) : io_(io) {}
  void run();

  // Each returns false when its reply could not be sent, which ends the session.
  bool help(const Argument&);
  bool user(const Argument&);
  bool pass(const Argument&);
  bool list(const Argument&);
  bool uidl(const Argument&);
  bool dele(const Argument&);
  bool noop(const Argument&);
  bool retr(const Argument&);
  bool rset(const Argument&);
  bool stat(const Argument&);
  bool top(const Argument&);
  bool quit(const Argument&);

 private:
  bool authenticated() const { return io_.account != nullptr; }
  void logOut();
  std::shared_ptr<pop3PacketInfo> find(const Argument& argument);
  bool noSuchMessage() { return io_.reply("-ERR No such message\r\n"); }
  int64_t totalSize() const;

  MailSession& io_;
  std::optional<std::string> userName_;
  OptSecret password_;
  Pop3Messages messages_, deletedMessages_;
  std::optional<std::string> lockedLogin_;
  bool quit_ = false;
};

struct Pop3Command {
  const char* name;
  bool needsAuthentication;
  bool (Pop3Session::*handler)(const Argument&);
};

constexpr Pop3Command kCommands[] = {
    {"HELP", false, &Pop3Session::help}, {"USER", false, &Pop3Session::user}, {"PASS", false, &Pop3Session::pass},
    {"LIST", true, &Pop3Session::list},  {"UIDL", true, &Pop3Session::uidl},  {"DELE", true, &Pop3Session::dele},
    {"NOOP", false, &Pop3Session::noop}, {"RETR", true, &Pop3Session::retr},  {"RSET", true, &Pop3Session::rset},
    {"STAT", true, &Pop3Session::stat},  {"TOP", true, &Pop3Session::top},    {"QUIT", false, &Pop3Session::quit},
};

// The unique id of a document whose envelope has none: stable across sessions, different for
// every file name, and within the characters a unique id may use.
std::string FallbackUid(const pop3PacketInfo& info) {
  // FNV-1a over the file name, twice with different seeds, as 32 hex digits.
  auto hash = [&](uint64_t h) {
    for (unsigned char c : info.fileName) h = (h ^ c) * 1099511628211ull;
    return h;
  };
  char text[48];
  std::snprintf(text, sizeof text, "nouid-%016llx%016llx", (unsigned long long)hash(14695981039346656037ull),
                (unsigned long long)hash(0x9e3779b97f4a7c15ull));
  return text;
}

std::string UidOf(const pop3PacketInfo& info) { return info.uid && !info.uid->empty() ? *info.uid : FallbackUid(info); }

void Pop3Session::run() {
  LogInfo("POP3 connection from %s:%d", io_.peerAddress.c_str(), int(io_.peerPort));
  if (io_.reply("+OK ZEL POP3 service %s ready\r\n", kProgramVersion)) {
    io_.clearInput();
    while (!quit_) {
      std::string line;
      MailSession::Line got = io_.readLine("\r\n", line);
      if (got == MailSession::Line::kEnd) break;
      if (got == MailSession::Line::kNotYet) continue;
      MailCommand command = SplitCommand(line);
      const Pop3Command* found = nullptr;
      for (const Pop3Command& c : kCommands)
        if (EqualsNoCase(command.word, c.name)) found = &c;
      bool sent;
      if (!found) {
        LogDebug("Unknown POP3 command %s", command.word.c_str());
        sent = io_.reply("-ERR Command not recognized\r\n");
      } else {
        LogDebug("POP3 command %s detected", found->name);
        if (found->needsAuthentication && !authenticated())
          sent = io_.reply("-ERR Authentication required\r\n");
        else
          sent = (this->*found->handler)(command.argument);
      }
      io_.clearInput();
      if (!sent) break;
    }
  }
  logOut();
  messages_.clear();
  deletedMessages_.clear();
}

void Pop3Session::logOut() {
  if (lockedLogin_) io_.shared().mailboxLocks.unlock(*lockedLogin_);
  lockedLogin_.reset();
  io_.account.reset();
  userName_.reset();
  password_.reset();
}

// The number read as strtoul reads it (white space skipped, digits up to the first other
// character, 0 without digits); 0 and numbers not in the mailbox find nothing.
std::shared_ptr<pop3PacketInfo> Pop3Session::find(const Argument& argument) {
  if (!argument) return nullptr;
  unsigned long number = std::strtoul(argument->c_str(), nullptr, 10);
  if (number == 0 || number > 0x7fffffffUL) return nullptr;
  auto it = messages_.find(int(number));
  return it == messages_.end() ? nullptr : it->second;
}

int64_t Pop3Session::totalSize() const {
  int64_t total = 0;
  for (const auto& [number, info] : messages_) total += info->messageSize;
  return total;
}

bool Pop3Session::help(const Argument&) {
  std::string text = "+OK Valid commands are:";
  for (const Pop3Command& c : kCommands) text = text + " " + c.name;
  return io_.reply("%s\r\n", text.c_str());
}

bool Pop3Session::user(const Argument& argument) {
  if (!argument) return io_.reply("-ERR Bad syntax\r\n");
  if (authenticated()) return io_.reply("-ERR Already logged in\r\n");
  userName_ = *argument;
  return io_.reply("+OK PASS please\r\n");
}

bool Pop3Session::pass(const Argument& argument) {
  if (!argument) return io_.reply("-ERR Bad syntax\r\n");
  if (authenticated()) return io_.reply("-ERR Already logged in\r\n");
  if (!userName_) return io_.reply("-ERR USER first\r\n");
  password_ = SecretString(*argument);
  if (!AuthenticateUser(io_, userName_, password_, "POP3")) {
    logOut();
    return io_.reply("-ERR Authentication failed\r\n");
  }
  const std::string login = LowerAscii(*io_.account->login);
  if (!io_.shared().mailboxLocks.tryLock(login)) {
    LogWarning("POP3 user %s account locked by another process", userName_->c_str());
    logOut();
    return io_.reply("-ERR Mailbox already locked in\r\n");
  }
  lockedLogin_ = login;
  if (!io_.reply("+OK Authenticated\r\n")) return false;
  LogInfo("POP3 user %s logged in", userName_->c_str());
  messages_ = LoadMailbox(io_);
  return true;
}

bool Pop3Session::list(const Argument& argument) {
  if (argument) {
    auto info = find(argument);
    if (!info) return noSuchMessage();
    return io_.reply("+OK %d %lld\r\n", int(std::strtoul(argument->c_str(), nullptr, 10)),
                     (long long)info->messageSize);
  }
  std::string text =
      "+OK " + std::to_string(messages_.size()) + " messages (" + std::to_string(totalSize()) + " octets)\r\n";
  for (const auto& [number, info] : messages_)
    text += std::to_string(number) + " " + std::to_string(info->messageSize) + "\r\n";
  text += ".\r\n";
  return io_.writeAll(text.data(), int64_t(text.size())) > 0;
}

bool Pop3Session::uidl(const Argument& argument) {
  if (argument) {
    auto info = find(argument);
    if (!info) return noSuchMessage();
    return io_.reply("+OK %d %s\r\n", int(std::strtoul(argument->c_str(), nullptr, 10)), UidOf(*info).c_str());
  }
  std::string text = "+OK\r\n";
  for (const auto& [number, info] : messages_) text += std::to_string(number) + " " + UidOf(*info) + "\r\n";
  text += ".\r\n";
  return io_.writeAll(text.data(), int64_t(text.size())) > 0;
}

bool Pop3Session::stat(const Argument&) {
  return io_.reply("+OK %d %lld\r\n", int(messages_.size()), (long long)totalSize());
}

bool Pop3Session::dele(const Argument& argument) {
  auto info = find(argument);
  if (!info) return noSuchMessage();
  const int number = int(std::strtoul(argument->c_str(), nullptr, 10));
  deletedMessages_.emplace(number, info);
  messages_.erase(number);
  return io_.reply("+OK Message deleted\r\n");
}

bool Pop3Session::noop(const Argument&) { return io_.reply("+OK\r\n"); }

bool Pop3Session::rset(const Argument&) {
  messages_.clear();
  deletedMessages_.clear();
  messages_ = LoadMailbox(io_);
  return io_.reply("+OK\r\n");
}

// The message is composed while it is sent, from the file held open exclusively, so neither the
// document nor the message is ever copied whole; its length is known before the first byte.
bool Pop3Session::retr(const Argument& argument) {
  auto info = find(argument);
  if (!info) return noSuchMessage();
  const char* path = info->filePath.c_str();
  int error = 0;
  std::unique_ptr<ExclusiveFile> file = ExclusiveFile::Open(info->filePath, &error);
  if (!file) {
    LogError("Cannot read from file %s, error 0x%08x", path, unsigned(error));
    return io_.reply("-ERR Server error\r\n");
  }
  const int64_t length =
      ComposedLength(info->fromAddress, info->toAddress, info->boundary, info->dateText, info->fileName, file->size());
  if (length < 0) {
    LogInfo("Cannot read file %s", path);
    return io_.reply("-ERR Server error\r\n");
  }
  if (!io_.reply("+OK %lld octets\r\n", (long long)(length - 2))) return false;
  bool readFailed = false;
  const bool streamed = StreamMailMessage(
      info->fromAddress, info->toAddress, info->boundary, info->dateText, info->fileName, file->size(),
      [&](char* to, int64_t n) {
        int64_t got = file->read(to, n);
        readFailed = got < 0;
        return got;
      },
      [&](const char* data, size_t n) { return io_.writeAll(data, int64_t(n)) > 0; });
  // A message cut short cannot be finished with its stated length: the session ends.
  if (!streamed) {
    if (readFailed) LogError("Cannot read from file %s, error 0x%08x", path, unsigned(errno));
    return false;
  }
  const bool sent = io_.writeAll(".\r\n", 3) > 0;
  LogInfo("Message %s delivered via POP3", info->fileName.c_str());
  return sent;
}

bool Pop3Session::top(const Argument& argument) {
  Argument number;
  if (argument) {
    std::string trimmed = *argument;
    TrimSpaces(trimmed);
    number = trimmed.substr(0, trimmed.find(' '));
  }
  auto info = find(number);
  if (!info) return noSuchMessage();
  std::unique_ptr<ASVariableBuffer> head = ComposeMailMessage(info->fromAddress, info->toAddress, info->boundary,
                                                              info->dateText, info->fileName, nullptr, true);
  if (!head) return io_.reply("-ERR Server error\r\n");
  std::string text = "+OK top of message follows\r\n" + head->unreadBytes() + ".\r\n";
  return io_.writeAll(text.data(), int64_t(text.size())) > 0;
}

bool Pop3Session::quit(const Argument&) {
  if (authenticated()) DeleteMessages(deletedMessages_);
  deletedMessages_.clear();
  quit_ = true;
  // The mailbox is free before the client hears "Bye", so a client that logs in again at once is
  // not told it is locked.
  logOut();
  return io_.reply("+OK Bye\r\n");
}

}  // namespace

void RunPop3Session(std::unique_ptr<MailSession> session) {
  Pop3Session(*session).run();
  session.reset();
}

}  // namespace zel
