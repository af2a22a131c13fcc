#include "mail/MailSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/Log.h"
#include "common/TextConv.h"

namespace zel {

bool MailboxLocks::tryLock(const std::string& login) {
  std::lock_guard<std::mutex> hold(lock_);
  return logins_.insert(LowerAscii(login)).second;
}

void MailboxLocks::unlock(const std::string& login) {
  std::lock_guard<std::mutex> hold(lock_);
  logins_.erase(LowerAscii(login));
}

bool MailboxLocks::held(const std::string& login) {
  std::lock_guard<std::mutex> hold(lock_);
  return logins_.count(LowerAscii(login)) > 0;
}

std::optional<envelopeInfo> EnvelopeCache::find(const std::string& path, const Identity& identity) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = kept_.find(path);
  if (it == kept_.end()) return std::nullopt;
  if (it->second.first == identity) return it->second.second;
  kept_.erase(it);  // the file changed: read it again
  return std::nullopt;
}

void EnvelopeCache::keep(const std::string& path, const Identity& identity, const envelopeInfo& envelope) {
  if (identity.size < kSmallest) return;
  std::lock_guard<std::mutex> hold(lock_);
  if (kept_.size() >= kMostKept && !kept_.count(path)) kept_.erase(kept_.begin());
  kept_[path] = {identity, envelope};
}

bool MailerShared::admit(int cap) {
  std::lock_guard<std::mutex> hold(lock_);
  if (open_ >= cap) return false;
  ++open_;
  return true;
}

void MailerShared::release() {
  std::lock_guard<std::mutex> hold(lock_);
  if (--open_ == 0) ended_.notify_all();
}

int MailerShared::open() {
  std::lock_guard<std::mutex> hold(lock_);
  return open_;
}

bool MailerShared::waitAllEnded(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  return ended_.wait_for(hold, limit, [&] { return open_ == 0; });
}

MailSession::MailSession(std::unique_ptr<ByteStream> stream, std::string peerAddress, uint16_t peerPort,
                         std::vector<std::shared_ptr<CPConfigAccount>> accounts, CPConfigPaths folders,
                         std::shared_ptr<MailerShared> shared)
    : peerAddress(std::move(peerAddress)),
      peerPort(peerPort),
      accounts(std::move(accounts)),
      folders(std::move(folders)),
      stream_(std::move(stream)),
      shared_(std::move(shared)),
      ioBuffer_(new char[kReplyBuffer]),
      input_(std::make_unique<ASVariableBuffer>()) {}

MailSession::~MailSession() = default;

int64_t MailSession::readSome(ASVariableBuffer& into) {
  char piece[kReceivePiece];
  for (int slice = 0; slice < kSlices && !stopping();) {
    int error = 0;
    int ready = stream_->wait(false, kSliceMs, &error);
    if (ready < 0) return -1;
    if (ready == 0) {
      ++slice;
      continue;
    }
    int64_t got = stream_->recv(piece, sizeof piece, &error);
    if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) continue;  // woken for nothing
    if (got <= 0) return got;
    if (into.append(piece, got) != got) return -1;
    return got;
  }
  return 0;
}

// Sends first and waits only when the socket takes nothing, so a large write costs no poll while
// the peer keeps up.
int64_t MailSession::writeAll(const void* data, int64_t n) {
  const char* bytes = static_cast<const char*>(data);
  int64_t sent = 0;
  int stalls = 0;
  while (sent < n) {
    if (stopping()) return 0;
    int error = 0;
    const int64_t put = stream_->send(bytes + sent, size_t(n - sent), &error);
    if (put < 0) return -1;
    if (put > 0) {
      sent += put;
      stalls = 0;
      continue;
    }
    if (stream_->wait(true, kSliceMs, &error) < 0) return -1;
    if (++stalls >= kSlices) return 0;
  }
  return n;
}

bool MailSession::reply(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(ioBuffer_.get(), kReplyBuffer, format, args);
  va_end(args);
  if (n < 0) return false;
  const int64_t length = std::min<int64_t>(n, int64_t(kReplyBuffer) - 1);
  return writeAll(ioBuffer_.get(), length) > 0;
}

MailSession::Line MailSession::readLine(std::string_view terminator, int64_t* lineLength) {
  const int64_t before = input_->length();
  if (readSome(*input_) <= 0) return Line::kEnd;
  // Only what just came, plus the bytes before it that could start a terminator split across
  // two receives: everything earlier was searched when it arrived.
  const int64_t from = std::max<int64_t>(0, before - int64_t(terminator.size()) + 1);
  int64_t at = input_->find(terminator, from);
  if (at < 0) return Line::kNotYet;
  *lineLength = at;
  return Line::kComplete;
}

MailSession::Line MailSession::readLine(std::string_view terminator, std::string& line) {
  int64_t length = 0;
  Line result = readLine(terminator, &length);
  if (result != Line::kComplete) return result;
  line.assign(size_t(length), '\0');
  input_->copyOut(0, line.data(), length);
  line.resize(std::strlen(line.c_str()));
  return result;
}

bool MailSession::pause(std::chrono::milliseconds length) {
  const auto until = std::chrono::steady_clock::now() + length;
  while (!stopping()) {
    auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds(0)) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(kSliceMs)));
  }
  return false;
}

MailCommand SplitCommand(const std::string& line) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return {line, std::nullopt};
  return {line.substr(0, space), line.substr(space + 1)};
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return text;
}

bool AuthenticateUser(MailSession& session, const std::optional<std::string>& user, const OptSecret& password,
                      const char* protocol) {
  session.account.reset();
  if (!user || !password) return false;
  for (const auto& account : session.accounts) {
    if (!account || !account->login || !account->plainPassword) continue;
    if (EqualsNoCase(*account->login, *user) && account->plainPassword->view() == password->view()) {
      session.account = account;
      LogDebug("%s user %s logged in", protocol, user->c_str());
    }
  }
  if (session.account) return true;
  LogError("Cannot authenticate %s user %s", protocol, user->c_str());
  session.pause(session.shared().failedLoginDelay);
  return false;
}

}  // namespace zel
