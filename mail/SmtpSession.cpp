// One handler per command, found by name in a fixed table; the session is in one of four modes
// (commands, authentication dialogue, message data, quit). A message is read up to CR LF "." CR LF
// into the session's input, which spills to disk, so its size has no limit; it is dot-unstuffed and
// stored before the reply. Passwords and authentication responses never reach the log.
#include "mail/SmtpSession.h"

#include <chrono>
#include <cstring>

#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "common/Version.h"
#include "config/SecretString.h"
#include "mail/LocalHostName.h"
#include "mail/MailSession.h"
#include "mail/StorePacket.h"

namespace zel {
namespace {

using Argument = std::optional<std::string>;

// A command or authentication line longer than this ends the session: only message data may be
// large, and only after authentication.
constexpr int64_t kLineLimit = 65536;

constexpr const char* kOk = "250 Ok\r\n";
constexpr const char* kBadSyntax = "501 5.5.4 Bad syntax\r\n";
constexpr const char* kNeed = "503 5.5.1 Error: need %s command\r\n";
constexpr const char* kAuthRequired = "530 5.7.0 Authentication required\r\n";
constexpr const char* kAuthOk = "235 2.7.0 Authentication successful\r\n";
constexpr const char* kAuthFailed = "535 5.7.8 Error: Authentication failed\r\n";
constexpr const char* kUsernamePrompt = "334 VXNlcm5hbWU6\r\n";
constexpr const char* kPasswordPrompt = "334 UGFzc3dvcmQ6\r\n";

std::string TrimControls(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
  return text.substr(begin, end - begin);
}

// "FROM:address" or "TO:address": the word before the first ":" must be `word` exactly (any case).
std::optional<std::string> AddressAfter(const std::string& argument, const char* word) {
  const size_t colon = argument.find(':');
  if (colon == std::string::npos || !EqualsNoCase(std::string_view(argument).substr(0, colon), word))
    return std::nullopt;
  return TrimControls(argument.substr(colon + 1));
}

class SmtpSession {
 public:
  explicit SmtpSession(MailSession& io) : io_(io) {}
  ~SmtpSession() { forget(); }
  void run();

  // Each returns false when its reply could not be sent, which ends the session.
  bool helo(const Argument&);
  bool ehlo(const Argument&);
  bool mail(const Argument&);
  bool rcpt(const Argument&);
  bool auth(const Argument&);
  bool data(const Argument&);
  bool quit(const Argument&);

 private:
  enum class Mode { kCommands, kAuthentication, kData, kQuit };
  enum class Mechanism { kNone, kPlain, kLogin };

  bool command(const std::string& line);
  bool authenticationLine(const SecretString& line);
  bool message(int64_t length);
  // Decodes a PLAIN response into authUser_ and authPassword_; false when it gives no user and password.
  bool decodePlain(std::string_view response);
  // AuthenticateUser with the current user and password, and its reply.
  bool authenticate();
  bool authFailed();
  std::string hostName();
  void forget();

  MailSession& io_;
  Argument heloName_, mailFrom_, rcptTo_, authUser_;
  OptSecret authPassword_;
  Mechanism mechanism_ = Mechanism::kNone;
  Mode mode_ = Mode::kCommands;
};

struct SmtpCommand {
  const char* name;
  bool (SmtpSession::*handler)(const Argument&);
};

constexpr SmtpCommand kCommands[] = {
    {"HELO", &SmtpSession::helo}, {"EHLO", &SmtpSession::ehlo}, {"MAIL", &SmtpSession::mail},
    {"RCPT", &SmtpSession::rcpt}, {"AUTH", &SmtpSession::auth}, {"DATA", &SmtpSession::data},
    {"QUIT", &SmtpSession::quit},
};

void SmtpSession::run() {
  LogInfo("SMTP connection from %s:%d", io_.peerAddress.c_str(), int(io_.peerPort));
  if (!io_.reply("220 ZEL SMTP service %s ready\r\n", kProgramVersion)) return;
  io_.clearInput();
  while (mode_ != Mode::kQuit) {
    const bool data = mode_ == Mode::kData;
    int64_t length = 0;
    const MailSession::Line got = io_.readLine(data ? "\r\n.\r\n" : "\r\n", &length);
    if (got == MailSession::Line::kEnd) break;
    if (got == MailSession::Line::kNotYet) {
      if (!data && io_.input().length() > kLineLimit) {
        io_.reply("500 5.5.2 Error: line too long\r\n");
        break;
      }
      continue;
    }
    bool sent;
    if (data) {
      sent = message(length);
    } else {
      // The line as text, cut at a NUL byte; kept as a secret, since it may carry a password.
      SecretString raw(std::string(size_t(length), '\0'));
      io_.input().copyOut(0, const_cast<char*>(raw.str().data()), length);
      SecretString line(std::string_view(raw.str().c_str()));
      sent = mode_ == Mode::kAuthentication ? authenticationLine(line) : command(line.str());
    }
    io_.clearInput();
    if (!sent) break;
  }
  forget();
}

bool SmtpSession::command(const std::string& line) {
  MailCommand split = SplitCommand(line);
  for (const SmtpCommand& c : kCommands) {
    if (!EqualsNoCase(split.word, c.name)) continue;
    LogDebug("SMTP command %s detected", c.name);
    return (this->*c.handler)(split.argument);
  }
  return io_.reply("502 5.5.2 Error: command not recognized\r\n");
}

std::string SmtpSession::hostName() {
  if (std::optional<std::string> name = LocalHostName()) return *name;
  // No name at all: the address literal of this end of the connection.
  return "[" + io_.localAddress() + "]";
}

bool SmtpSession::helo(const Argument& argument) {
  if (!argument) return io_.reply(kBadSyntax);
  heloName_ = argument;
  return io_.reply("250 %s\r\n", hostName().c_str());
}

bool SmtpSession::ehlo(const Argument& argument) {
  if (!argument) return io_.reply(kBadSyntax);
  heloName_ = argument;
  return io_.reply("250-%s Hello %s\r\n250 AUTH LOGIN PLAIN\r\n", hostName().c_str(), heloName_->c_str());
}

bool SmtpSession::mail(const Argument& argument) {
  if (!argument) return io_.reply(kBadSyntax);
  if (!heloName_) return io_.reply(kNeed, "HELO/EHLO");
  if (!io_.account) return io_.reply(kAuthRequired);
  std::optional<std::string> address = AddressAfter(*argument, "FROM");
  if (!address) return io_.reply(kBadSyntax);
  mailFrom_ = std::move(address);
  return io_.reply(kOk);
}

bool SmtpSession::rcpt(const Argument& argument) {
  if (!argument) return io_.reply(kBadSyntax);
  if (!heloName_) return io_.reply(kNeed, "HELO/EHLO");
  if (!io_.account) return io_.reply(kAuthRequired);
  if (!mailFrom_) return io_.reply(kNeed, "MAIL");
  std::optional<std::string> address = AddressAfter(*argument, "TO");
  if (!address) return io_.reply(kBadSyntax);
  rcptTo_ = std::move(address);
  return io_.reply(kOk);
}

bool SmtpSession::data(const Argument&) {
  if (!heloName_) return io_.reply(kNeed, "HELO/EHLO");
  if (!io_.account) return io_.reply(kAuthRequired);
  if (!mailFrom_) return io_.reply(kNeed, "MAIL");
  if (!rcptTo_) return io_.reply(kNeed, "RCPT");
  mode_ = Mode::kData;
  return io_.reply("354 End data with <CR><LF>.<CR><LF>\r\n");
}

bool SmtpSession::quit(const Argument&) {
  mode_ = Mode::kQuit;
  return io_.reply("221 2.0.0 Bye\r\n");
}

bool SmtpSession::auth(const Argument& argument) {
  if (!argument) return io_.reply(kBadSyntax);
  const size_t space = argument->find(' ');
  const std::string word = argument->substr(0, space);
  std::optional<SecretString> initial;
  if (space != std::string::npos) initial.emplace(std::string_view(*argument).substr(space + 1));
  if (EqualsNoCase(word, "PLAIN"))
    mechanism_ = Mechanism::kPlain;
  else if (EqualsNoCase(word, "LOGIN"))
    mechanism_ = Mechanism::kLogin;
  else
    return io_.reply(kBadSyntax);
  if (!heloName_) return io_.reply(kNeed, "HELO/EHLO");
  authUser_.reset();
  authPassword_.reset();
  if (mechanism_ == Mechanism::kPlain) {
    if (!initial) {
      mode_ = Mode::kAuthentication;
      return io_.reply("334\r\n");
    }
    return decodePlain(initial->view()) ? authenticate() : authFailed();
  }
  if (initial) {
    SecretString user(CPBase64::decode(initial->view()));
    if (!user.empty()) authUser_ = user.str();
    mode_ = Mode::kAuthentication;
    return io_.reply(kPasswordPrompt);
  }
  mode_ = Mode::kAuthentication;
  return io_.reply(kUsernamePrompt);
}

bool SmtpSession::authenticationLine(const SecretString& line) {
  mode_ = Mode::kCommands;
  if (mechanism_ == Mechanism::kPlain) return decodePlain(line.view()) ? authenticate() : authFailed();
  SecretString decoded(CPBase64::decode(line.view()));
  if (decoded.empty()) return authFailed();
  if (!authUser_) {
    authUser_ = decoded.str();
    mode_ = Mode::kAuthentication;
    return io_.reply(kPasswordPrompt);
  }
  authPassword_ = std::move(decoded);
  return authenticate();
}

bool SmtpSession::decodePlain(std::string_view response) {
  // authorization identity NUL user NUL password
  const SecretString decoded(CPBase64::decode(response));
  const std::string_view bytes = decoded.view();
  const size_t total = bytes.size();
  if (total == 0) return false;
  const size_t identity = std::min(bytes.find('\0'), total);
  if (identity + 1 >= total) return false;
  const std::string_view afterIdentity = bytes.substr(identity + 1);
  const size_t user = std::min(afterIdentity.find('\0'), afterIdentity.size());
  if (identity + user + 2 >= total) return false;
  const std::string_view afterUser = afterIdentity.substr(user + 1);
  authUser_ = std::string(afterIdentity.substr(0, user));
  authPassword_.emplace(afterUser.substr(0, std::min(afterUser.find('\0'), afterUser.size())));
  return true;
}

bool SmtpSession::authenticate() {
  if (AuthenticateUser(io_, authUser_, authPassword_, "SMTP")) return io_.reply(kAuthOk);
  return io_.reply(kAuthFailed);
}

// A response that gives no user and password fails like a wrong password, after the same delay.
bool SmtpSession::authFailed() {
  io_.pause(io_.shared().failedLoginDelay);
  return io_.reply(kAuthFailed);
}

// The message is the input up to the CR LF that begins the end-of-data marker. A line that begins
// with "." loses that "." (the client doubled it), so the document arrives as it was written. Only
// a message that has such a line is copied; any other is stored where it lies.
bool SmtpSession::message(int64_t length) {
  mode_ = Mode::kCommands;
  ASVariableBuffer& input = io_.input();
  char first = 0;
  const bool stuffed = (input.copyOut(0, &first, 1) == 1 && first == '.') || input.find("\r\n.", 0) < length;
  std::unique_ptr<ASVariableBuffer> unstuffed;
  ASVariableBuffer* message = &input;
  if (stuffed) {
    unstuffed = Unstuff(input, length);
    message = unstuffed.get();
  } else {
    input.truncate(length);
  }
  StoreResult result = StoreResult::kFailed;
  if (message)
    result = StorePacket(*message, io_.folders, io_.account, authUser_);
  else
    LogError("Cannot keep SMTP message from user %s", authUser_.value_or("-").c_str());
  switch (result) {
    case StoreResult::kOk: return io_.reply(kOk);
    case StoreResult::kRefused: return io_.reply("554 5.6.0 Error: envelope identifier is not a plain file name\r\n");
    case StoreResult::kFailed: break;
  }
  return io_.reply("421 Internal server error, try again later\r\n");
}

void SmtpSession::forget() {
  heloName_.reset();
  mailFrom_.reset();
  rcptTo_.reset();
  authUser_.reset();
  authPassword_.reset();
  mechanism_ = Mechanism::kNone;
  io_.account.reset();
}

}  // namespace

std::unique_ptr<ASVariableBuffer> Unstuff(ASVariableBuffer& input, int64_t length) {
  auto output = std::make_unique<ASVariableBuffer>();
  constexpr int64_t kWindow = 65536;
  std::unique_ptr<char[]> window(new char[kWindow]);
  // Where a line starts: at 0 and after every CR LF.
  bool lineStart = true, afterCr = false;
  for (int64_t at = 0; at < length;) {
    const int64_t got = input.copyOut(at, window.get(), std::min(kWindow, length - at));
    if (got <= 0) return nullptr;
    int64_t from = 0;
    for (int64_t i = 0; i < got; ++i) {
      const char c = window[i];
      if (lineStart && c == '.') {
        if (i > from && output->append(window.get() + from, i - from) != i - from) return nullptr;
        from = i + 1;
      }
      lineStart = afterCr && c == '\n';
      afterCr = c == '\r';
    }
    if (got > from && output->append(window.get() + from, got - from) != got - from) return nullptr;
    at += got;
  }
  return output;
}

void RunSmtpSession(std::unique_ptr<MailSession> session) {
  if (!session) return;
  SmtpSession(*session).run();
}

}  // namespace zel
