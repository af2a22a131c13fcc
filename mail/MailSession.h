// The session base both mail services share: the accepted connection with its snapshots of the
// accounts and folders, replies formatted into a 32768-byte buffer, and input and output in 100 ms
// slices that give up after 10 s of silence or of a stalled peer, or within one slice of the
// mailer's stop. Also what the mailer shares with its sessions, the command split and the login
// check of both services.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "platform/Files.h"
#include "platform/Listeners.h"

namespace zel {

// The logins, each in lower case, of the POP3 mailboxes now open.
class MailboxLocks {
 public:
  // False when the login is held already.
  bool tryLock(const std::string& login);
  void unlock(const std::string& login);
  bool held(const std::string& login);

 private:
  std::mutex lock_;
  std::set<std::string> logins_;
};

// The envelopes of large documents already read, each with the identity of the file it was read
// from (device, inode, size, modification and change times), so that a mailbox loaded again does
// not read an unchanged document again. Bounded: documents under 1 MiB are read anew each time,
// and at most 256 are kept.
class EnvelopeCache {
 public:
  static constexpr int64_t kSmallest = 1 << 20;
  static constexpr size_t kMostKept = 256;
  using Identity = FileIdentity;
  // None when the file cannot be read.
  static std::optional<Identity> Of(const std::string& path) { return IdentifyFile(path); }

  std::optional<envelopeInfo> find(const std::string& path, const Identity& identity);
  void keep(const std::string& path, const Identity& identity, const envelopeInfo& envelope);

 private:
  std::mutex lock_;
  std::map<std::string, std::pair<Identity, envelopeInfo>> kept_;
};

// What the mailer thread shares with its sessions. Held by every session, so it outlives the
// mailer thread as long as any session runs.
class MailerShared {
 public:
  std::atomic<bool> stopping{false};
  MailboxLocks mailboxLocks;
  EnvelopeCache envelopes;
  std::chrono::milliseconds failedLoginDelay{2000};  // fixed at start

  // Counts a new session in unless `cap` are open.
  bool admit(int cap);
  void release();
  int open();
  // Waits until no session is open; false when `limit` passed first.
  bool waitAllEnded(std::chrono::milliseconds limit);

 private:
  std::mutex lock_;
  std::condition_variable ended_;
  int open_ = 0;
};

class MailSession {
 public:
  static constexpr int kSliceMs = 100;
  static constexpr int kSlices = 100;  // 10 s of silence or stall
  static constexpr int64_t kReceivePiece = 32768;
  static constexpr size_t kReplyBuffer = 32768;  // a reply is at most 32767 characters

  enum class Line { kComplete, kNotYet, kEnd };

  MailSession(std::unique_ptr<ByteStream> stream, std::string peerAddress, uint16_t peerPort,
              std::vector<std::shared_ptr<CPConfigAccount>> accounts, CPConfigPaths folders,
              std::shared_ptr<MailerShared> shared);
  ~MailSession();
  MailSession(const MailSession&) = delete;
  MailSession& operator=(const MailSession&) = delete;

  // Bytes appended (> 0); 0 for 10 s of silence, a peer that closed, or the mailer's stop; -1 error.
  int64_t readSome(ASVariableBuffer& into);
  // n when all was sent; 0 for a 10 s stall or the mailer's stop; -1 error.
  int64_t writeAll(const void* data, int64_t n);
  // Formats into the reply buffer (cut at 32767 characters) and sends it; false when not sent.
  bool reply(const char* format, ...) ZEL_PRINTF(2, 3);

  // One receive into the session's input, then a search of only the bytes that came with it (and
  // the terminator's length less one before them). kComplete gives the length of the line, which
  // starts at the input's first byte; the caller handles it and then calls clearInput().
  Line readLine(std::string_view terminator, int64_t* lineLength);
  // The same, with the line as text (cut at a NUL byte, as the protocol's text is).
  Line readLine(std::string_view terminator, std::string& line);
  ASVariableBuffer& input() { return *input_; }
  void clearInput() { input_->reset(); }

  bool stopping() const { return shared_->stopping.load(); }
  // This end of the connection's address, dotted decimal.
  std::string localAddress() const { return stream_->localAddress(); }
  // Sleeps up to `length` in slices; false when the mailer stopped meanwhile.
  bool pause(std::chrono::milliseconds length);

  MailerShared& shared() { return *shared_; }
  const std::shared_ptr<MailerShared>& sharedState() const { return shared_; }

  const std::string peerAddress;
  const uint16_t peerPort;
  const std::vector<std::shared_ptr<CPConfigAccount>> accounts;
  std::shared_ptr<CPConfigAccount> account;  // set once authenticated
  const CPConfigPaths folders;

 private:
  std::unique_ptr<ByteStream> stream_;
  std::shared_ptr<MailerShared> shared_;
  std::unique_ptr<char[]> ioBuffer_;
  std::unique_ptr<ASVariableBuffer> input_;
};

// A command line cut at its first space: the word, and everything after the space (nothing
// trimmed) as the argument; no space, no argument.
struct MailCommand {
  std::string word;
  std::optional<std::string> argument;
};
MailCommand SplitCommand(const std::string& line);

// Sets session.account to the last account, in configuration order, whose login equals `user`
// without regard to ASCII case and whose decrypted password equals `password` byte for byte; clears
// it when none does. `protocol` ("POP3", "SMTP") names the service in the log lines. A failed
// check returns only after 2 s (sooner at the mailer's stop), so that passwords cannot be tried at
// line speed (the shared state's failedLoginDelay); other sessions go on meanwhile.
bool AuthenticateUser(MailSession& session, const std::optional<std::string>& user, const OptSecret& password,
                      const char* protocol);

// ASCII letters lowered.
std::string LowerAscii(std::string text);

}  // namespace zel
