#include "service/ServiceMain.h"

#include <condition_variable>
#include <thread>

#include "common/Log.h"
#include "config/CPConfig.h"
#include "config/ConfigBackup.h"
#include "net/CPHostCache.h"
#include "platform/Files.h"
#include "service/CommandLine.h"
#include "service/ServiceLog.h"

namespace zel {
namespace {

constexpr const char* kStartPending = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000";
constexpr const char* kRunning = "READY=1\nSTATUS=Running";
constexpr const char* kPaused = "STATUS=Paused";
constexpr const char* kPausePending = "STATUS=Pausing";
constexpr const char* kContinuePending = "STATUS=Resuming";
constexpr const char* kStopPending = "STOPPING=1";
constexpr const char* kStopped = "STATUS=Stopped";

// The mailer's thread, and whether it has ended, so stop can wait for it with a limit.
class MailerThread {
 public:
  MailerThread(std::function<void(std::shared_ptr<const CPConfig>, const std::atomic<bool>&)> body,
               std::shared_ptr<const CPConfig> config, const std::atomic<bool>& stop)
      : state_(std::make_shared<State>()) {
    auto state = state_;
    thread_ = std::thread([body = std::move(body), config = std::move(config), &stop, state] {
      body(config, stop);
      std::lock_guard<std::mutex> hold(state->lock);
      state->done = true;
      state->ended.notify_all();
    });
  }
  // True when it ended within `grace`; otherwise it is let go, still running.
  bool waitFor(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> hold(state_->lock);
    bool ended = state_->ended.wait_for(hold, grace, [&] { return state_->done; });
    hold.unlock();
    if (ended)
      thread_.join();
    else
      thread_.detach();
    return ended;
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace

std::optional<std::string> FindConfigPath(const std::vector<std::string>& arguments,
                                          const std::optional<std::string>& commandLinePath) {
  std::optional<std::string> path;
  for (size_t i = 1; i + 1 < arguments.size(); ++i)
    if (arguments[i] == "-c" || arguments[i] == "--config") path = arguments[++i];
  if (path) return path;
  if (commandLinePath) return commandLinePath;
  std::optional<std::string> program = ProgramPath();
  if (!program) {
    EventError("Cannot get default directory");
    return std::nullopt;
  }
  size_t cut = program->rfind('/');
  if (cut == std::string::npos) {
    EventError("Got wrong default directory");
    return std::nullopt;
  }
  return program->substr(0, cut + 1) + kConfigFileName;
}

ServiceRun::ServiceRun(ServiceOptions options, ServiceSteps steps)
    : options_(std::move(options)), steps_(std::move(steps)) {}

ServiceRun::~ServiceRun() = default;

void ServiceRun::report(const std::string& state) {
  if (!options_.serviceMode || !options_.report) return;
  std::lock_guard<std::mutex> hold(reportLock_);
  options_.report(state);
}

void ServiceRun::control(ControlSignal signal) {
  struct Row {
    const char* pending;
    Event event;
  };
  Row row;
  switch (signal) {
    case ControlSignal::Stop: row = {kStopPending, kStop}; break;
    case ControlSignal::Pause:
    case ControlSignal::Suspend: row = {kPausePending, kPause}; break;
    case ControlSignal::Continue:
    case ControlSignal::Resume: row = {kContinuePending, kContinue}; break;
    default: return;
  }
  // In the foreground only stop means anything.
  if (!options_.serviceMode && row.event != kStop) return;
  report(row.pending);
  events_.set(row.event);
  report(row.pending);
}

void ServiceRun::run() {
  if (options_.serviceMode) {
    report(kStartPending);
    report(kRunning);  // running from here on, before the configuration is read
  }
  std::optional<std::string> path = FindConfigPath(options_.arguments, options_.commandLineConfigPath);
  std::unique_ptr<CPConfig> config;
  if (path) {
    // What a killed run left half-written beside the configuration and its backup.
    RemoveStaleTemporaryFiles(path->rfind('/') == std::string::npos ? "." : path->substr(0, path->rfind('/')));
    if (const std::string backup = BackupLocation(); backup.rfind('/') != std::string::npos)
      RemoveStaleTemporaryFiles(backup.substr(0, backup.rfind('/')));
    bool restored = false;
    for (;;) {
      config = std::make_unique<CPConfig>();
      if (LoadConfig(*config, *path) == 0 && ValidateConfig(*config)) break;
      config.reset();
      if (restored || !RestoreConfig(*path)) break;
      EventInfo("Restoring config file %s", path->c_str());
      restored = true;
    }
  }
  if (config) {
    BackupConfig(*config);
    OpenServiceLog(config->paths.Logfile);
    CPHostCache hosts;
    const std::string version = VersionLine().substr(0, VersionLine().size() - 1);
    LogInfo("%s started", version.c_str());
    if (options_.serviceMode) EventInfo("%s started", version.c_str());

    if (steps_.prepare) {
      ServiceContext context{*config, hosts};
      steps_.prepare(context);
    }

    std::atomic<bool> mailStopFlag{false};
    std::unique_ptr<MailerThread> mailer;
    if (config->mailserver.enabled && steps_.mailer)
      mailer = std::make_unique<MailerThread>(steps_.mailer, std::make_shared<const CPConfig>(*config), mailStopFlag);
    else if (config->mailserver.enabled)
      LogWarning("The mail gateway is enabled in %s but is not part of this build", path->c_str());

    loop(*config, hosts, version);

    mailStopFlag = true;
    bool mailerEnded = !mailer || mailer->waitFor(options_.mailerGrace);
    LogInfo("%s stopped", version.c_str());
    if (options_.serviceMode) EventInfo("%s stopped", version.c_str());
    // A mailer still running keeps writing to the log: the file stays open until the process ends.
    if (mailerEnded) CloseServiceLog();
  }
  report(kStopped);
}

void ServiceRun::loop(const CPConfig& config, CPHostCache& hosts, const std::string& version) {
  using Clock = std::chrono::steady_clock;
  const int64_t interval = std::max<int64_t>(config.server.refresh, 30);
  int64_t counter = 65535;  // so the first pass retrieves at once
  bool paused = false;
  ServiceContext context{config, hosts};
  for (;;) {
    const Clock::time_point passStart = Clock::now();
    if (counter >= interval) {
      LogDebug("Attempting to retrieve file list");
      if (steps_.retrieveLists) steps_.retrieveLists(context);
      counter = 0;
    }
    if (steps_.scanOutbound) steps_.scanOutbound(context);
    if (steps_.processQueue) steps_.processQueue(context);
    const int64_t worked = (Clock::now() - passStart) / options_.tick;
    if (worked > 0) counter += worked;

    for (;;) {
      if (!paused) {
        std::optional<size_t> hit = events_.waitAny({kStop, kPause}, options_.tick);
        if (hit == kStop) return;
        if (!hit) {
          counter += 1;
          break;
        }
        events_.reset(kPause);
        events_.reset(kContinue);  // a continue from before this pause does not end it
        paused = true;
        LogInfo("%s paused", version.c_str());
        EventInfo("%s paused", version.c_str());
        report(kPaused);
      } else {
        std::optional<size_t> hit = events_.waitAny({kStop, kContinue}, std::nullopt);
        if (hit == kStop) return;
        events_.reset(kContinue);
        paused = false;
        LogInfo("%s resumed", version.c_str());
        EventInfo("%s resumed", version.c_str());
        report(kRunning);
        counter += 1;
        break;
      }
    }
  }
}

}  // namespace zel
