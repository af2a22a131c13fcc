// The mail gateway's thread: listens for SMTP and then POP3 on every local IPv4 address, starts one
// session thread per accepted connection (at most kMaxMailSessions at once; beyond that a
// connection gets a short refusal and is closed), and at stop ends only after every session has.
#pragma once

#include <atomic>
#include <memory>

namespace zel {

struct CPConfig;

constexpr int kMaxMailSessions = 64;
constexpr int kListenBacklog = 64;

// Runs until `stop` is set (or at once when a port cannot be bound or listened to), then returns
// once the last session has ended. Owns the configuration copy it is given.
void MailerThread(std::shared_ptr<const CPConfig> config, const std::atomic<bool>& stop);

}  // namespace zel
