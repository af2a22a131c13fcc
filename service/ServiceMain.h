// One service run, start to stop: configuration (with one restore from the backup), log, the
// mailer thread, and the polling loop that drives the exchange engine's three steps until stopped.
// The same routine serves the foreground, where nothing is reported to a service manager and
// pause and continue do not apply.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ManualResetEvents.h"
#include "platform/ServiceHost.h"

namespace zel {

struct CPConfig;
class CPHostCache;

// What one pass of the loop hands to the engine's steps.
struct ServiceContext {
  const CPConfig& config;
  CPHostCache& hosts;  // one for the whole run, shared by every connection
};

struct ServiceSteps {
  // Once, after the configuration is loaded and before the mail gateway and the first pass start.
  std::function<void(ServiceContext&)> prepare;
  std::function<void(ServiceContext&)> retrieveLists;
  std::function<void(ServiceContext&)> scanOutbound;
  std::function<void(ServiceContext&)> processQueue;
  // The mail gateway, run on its own thread on a copy of the configuration until `stop` is set.
  // Empty: the gateway is not built in.
  std::function<void(std::shared_ptr<const CPConfig>, const std::atomic<bool>& stop)> mailer;
};

struct ServiceOptions {
  bool serviceMode = false;
  std::vector<std::string> arguments;  // start arguments; the first is the program's name
  std::optional<std::string> commandLineConfigPath;
  std::chrono::milliseconds tick{1000};          // one second of the loop's counting
  std::chrono::milliseconds mailerGrace{10000};  // how long stop waits for the mailer
  std::function<void(const std::string&)> report = NotifyServiceManager;
};

class ServiceRun {
 public:
  ServiceRun(ServiceOptions options, ServiceSteps steps);
  ~ServiceRun();

  // The control handler: reports the pending state and sets the matching event. Never blocks.
  void control(ControlSignal signal);
  // The service main routine; returns when the run ends.
  void run();

 private:
  enum Event : size_t { kStop = 0, kPause = 1, kContinue = 2 };
  void report(const std::string& state);
  void loop(const CPConfig& config, CPHostCache& hosts, const std::string& version);

  ServiceOptions options_;
  ServiceSteps steps_;
  ManualResetEvents<3> events_;
  std::mutex reportLock_;
};

// The configuration path of a run: the last -c/--config among the arguments after the first, else
// the command line's, else config.xml beside the program (none when the program path is unknown).
std::optional<std::string> FindConfigPath(const std::vector<std::string>& arguments,
                                          const std::optional<std::string>& commandLinePath);

}  // namespace zel
