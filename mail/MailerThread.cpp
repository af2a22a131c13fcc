// Every cycle waits up to 100 ms on both listeners and then accepts every connection waiting,
// SMTP first, so a burst of clients never sits in the kernel's queue.
#include "mail/MailerThread.h"

#include <system_error>
#include <thread>

#include "common/Log.h"
#include "config/CPConfig.h"
#include "mail/MailSession.h"
#include "mail/Pop3Session.h"
#include "mail/SmtpSession.h"
#include "platform/Listeners.h"

namespace zel {
namespace {

enum class Service { kSmtp, kPop3 };

struct ServiceRow {
  const char* bindError;
  const char* refusal;  // the whole reply to a connection beyond the cap
};
constexpr ServiceRow kServices[] = {
    {"Cannot bind SMTP service to port %d, error 0x%08x", "421 4.7.0 Too many connections, try again later\r\n"},
    {"Cannot bind POP3 service to port %d, error 0x%08x", "-ERR Too many connections, try again later\r\n"},
};

// At most this many accepts per listener and cycle, so that a flood on one port cannot hold the
// loop away from the stop flag and the other port.
constexpr int kAcceptsPerCycle = 256;

std::unique_ptr<TcpListener> Listen(Service service, uint16_t port) {
  int error = 0;
  auto listener = TcpListener::Create(&error);
  if (!listener || !listener->bind(port, &error)) {
    LogError(kServices[int(service)].bindError, int(port), unsigned(error));
    return nullptr;
  }
  if (!listener->listen(kListenBacklog, &error)) {
    LogError("Cannot listen to port %d, error 0x%08x", int(port), unsigned(error));
    return nullptr;
  }
  return listener;
}

class Mailer {
 public:
  explicit Mailer(std::shared_ptr<const CPConfig> config)
      : config_(std::move(config)), shared_(std::make_shared<MailerShared>()) {}

  void acceptAll(TcpListener& listener, Service service) {
    for (int i = 0; i < kAcceptsPerCycle; ++i) {
      std::unique_ptr<TcpConnection> connection = listener.accept();
      if (!connection) return;
      start(std::move(connection), service);
    }
  }

  // Lets every session see the stop and waits for the last of them.
  void finish() {
    shared_->stopping = true;
    while (!shared_->waitAllEnded(std::chrono::seconds(1))) {
    }
  }

 private:
  void start(std::unique_ptr<TcpConnection> connection, Service service) {
    if (!shared_->admit(kMaxMailSessions)) {
      if (!refusing_) LogWarning("%d mail sessions open, refusing further connections", kMaxMailSessions);
      refusing_ = true;
      const std::string_view refusal = kServices[int(service)].refusal;
      int error = 0;
      connection->send(refusal.data(), refusal.size(), &error);
      return;
    }
    refusing_ = false;
    const std::string peer = connection->peerAddress();
    const uint16_t port = connection->peerPort();
    auto session =
        std::make_unique<MailSession>(std::move(connection), peer, port, config_->accounts, config_->paths, shared_);
    try {
      std::thread([session = std::move(session), service, shared = shared_]() mutable {
        if (service == Service::kSmtp)
          RunSmtpSession(std::move(session));
        else
          RunPop3Session(std::move(session));
        shared->release();
      }).detach();
    } catch (const std::system_error& e) {
      // The session (and with it the connection) went with the thread that never started.
      shared_->release();
      LogError("Cannot start a mail session for %s:%d, error %d", peer.c_str(), int(port), e.code().value());
    }
  }

  std::shared_ptr<const CPConfig> config_;
  std::shared_ptr<MailerShared> shared_;
  bool refusing_ = false;
};

}  // namespace

void MailerThread(std::shared_ptr<const CPConfig> config, const std::atomic<bool>& stop) {
  LogDebug("Mailer thread started");
  Mailer mailer(config);
  // SMTP first: when its port cannot be had, POP3 is not opened either.
  std::unique_ptr<TcpListener> smtp = Listen(Service::kSmtp, config->mailserver.smtp_port);
  std::unique_ptr<TcpListener> pop3 = smtp ? Listen(Service::kPop3, config->mailserver.pop3_port) : nullptr;
  if (smtp && pop3) {
    while (!stop) {
      unsigned ready = TcpListener::WaitReadable(smtp.get(), pop3.get(), MailSession::kSliceMs);
      if (ready & 1) mailer.acceptAll(*smtp, Service::kSmtp);
      if (ready & 2) mailer.acceptAll(*pop3, Service::kPop3);
    }
  }
  smtp.reset();
  pop3.reset();
  mailer.finish();
  LogDebug("Mailer thread stopped");
}

}  // namespace zel
