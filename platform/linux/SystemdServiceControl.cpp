// ServiceManager on systemd's D-Bus API: LoadUnit and its LoadState find the unit; StopUnit and
// StartUnit queue jobs whose end the manager announces with JobRemoved, which is awaited with the
// unit's own TimeoutStopUSec / TimeoutStartUSec as the bound (capped, so no wait is endless).
#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <utility>

#include "platform/ServiceControl.h"

namespace zel {
namespace {

constexpr const char* kManager = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr uint64_t kDefaultWaitUs = 90ull * 1000 * 1000;
constexpr uint64_t kLongestWaitUs = 300ull * 1000 * 1000;

struct ErrorName {
  const char* name;
  int code;
};
// Errors systemd answers with whose errno sd-bus does not know on its own.
constexpr ErrorName kErrorNames[] = {
    {"org.freedesktop.systemd1.NoSuchUnit", ENOENT},
    {"org.freedesktop.systemd1.UnitMasked", ESHUTDOWN},
    {"org.freedesktop.systemd1.JobTypeNotApplicable", EBADR},
    {"org.freedesktop.systemd1.OnlyByDependency", EINVAL},
    {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", EACCES},
};

int ErrnoOf(const sd_bus_error& error, int r) {
  if (error.name)
    for (const auto& e : kErrorNames)
      if (std::strcmp(error.name, e.name) == 0) return e.code;
  int code = sd_bus_error_is_set(&error) ? sd_bus_error_get_errno(&error) : -r;
  return code > 0 ? code : EIO;
}

struct BusError {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&e); }
};

struct Message {
  sd_bus_message* m = nullptr;
  ~Message() { sd_bus_message_unref(m); }
};

// A finished job's result, "done" when all went well.
int ErrnoOfJobResult(const std::string& result) {
  if (result == "done" || result == "skipped") return 0;
  if (result == "timeout") return ETIMEDOUT;
  if (result == "canceled") return ECANCELED;
  if (result == "dependency") return ENOLINK;
  return EIO;
}

class SystemdServiceManager : public ServiceManager {
 public:
  ~SystemdServiceManager() override {
    sd_bus_slot_unref(jobSlot_);
    sd_bus_flush_close_unref(bus_);
  }

  int connect() override {
    int r = sd_bus_open_system(&bus_);
    if (r < 0) {
      bus_ = nullptr;
      return -r;
    }
    BusError error;
    Message reply;
    r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error.e, &reply.m, "s", kManager);
    if (r < 0) return ErrnoOf(error.e, r);
    int present = 0;
    if (sd_bus_message_read(reply.m, "b", &present) < 0 || !present) return EHOSTUNREACH;
    // Job ends are announced only to subscribers; one that cannot subscribe waits out its bounds.
    BusError ignored;
    sd_bus_call_method(bus_, kManager, kManagerPath, kManagerInterface, "Subscribe", &ignored.e, nullptr, "");
    r = sd_bus_match_signal(bus_, &jobSlot_, kManager, kManagerPath, kManagerInterface, "JobRemoved",
                            &SystemdServiceManager::OnJobRemoved, this);
    return r < 0 ? -r : 0;
  }

  int openService(const std::string& name) override {
    unit_ = name + ".service";
    BusError error;
    Message reply;
    int r = sd_bus_call_method(bus_, kManager, kManagerPath, kManagerInterface, "LoadUnit", &error.e, &reply.m, "s",
                               unit_.c_str());
    if (r < 0) return ErrnoOf(error.e, r);
    const char* path = nullptr;
    if (sd_bus_message_read(reply.m, "o", &path) < 0 || !path) return EIO;
    unitPath_ = path;
    std::string state = stringProperty("org.freedesktop.systemd1.Unit", "LoadState");
    if (state == "not-found") return ENOENT;
    if (state == "masked") return ESHUTDOWN;
    if (state != "loaded") return EINVAL;
    return 0;
  }

  int stop() override {
    std::string job;
    int r = queueJob("StopUnit", &job);
    if (r != 0) return r;
    stopFinished_ = waitForJob(job, timeProperty("TimeoutStopUSec"), nullptr);
    return 0;
  }

  void sleep(int milliseconds) override { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

  int start() override {
    if (!stopFinished_) return EBUSY;
    std::string job;
    int r = queueJob("StartUnit", &job);
    if (r != 0) return r;
    std::string result;
    // A start still running at the bound is left to the manager, as a start request would be.
    if (!waitForJob(job, timeProperty("TimeoutStartUSec"), &result)) return 0;
    return ErrnoOfJobResult(result);
  }

 private:
  static int OnJobRemoved(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* self = static_cast<SystemdServiceManager*>(data);
    uint32_t id = 0;
    const char *job = nullptr, *unit = nullptr, *result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &job, &unit, &result) >= 0 && job)
      self->removedJobs_.emplace(job, result ? result : "");
    return 0;
  }

  int queueJob(const char* method, std::string* job) {
    BusError error;
    Message reply;
    int r = sd_bus_call_method(bus_, kManager, kManagerPath, kManagerInterface, method, &error.e, &reply.m, "ss",
                               unit_.c_str(), "replace");
    if (r < 0) return ErrnoOf(error.e, r);
    const char* path = nullptr;
    if (sd_bus_message_read(reply.m, "o", &path) < 0 || !path) return EIO;
    *job = path;
    return 0;
  }

  // True when the job ended within the bound; its result goes to *result.
  bool waitForJob(const std::string& job, uint64_t boundUs, std::string* result) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(boundUs);
    for (;;) {
      for (const auto& [path, jobResult] : removedJobs_)
        if (path == job) {
          if (result) *result = jobResult;
          return true;
        }
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return false;
      if (r > 0) continue;
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
      if (sd_bus_wait(bus_, uint64_t(left)) < 0) return false;
    }
  }

  std::string stringProperty(const char* interface, const char* name) {
    BusError error;
    char* value = nullptr;
    if (sd_bus_get_property_string(bus_, kManager, unitPath_.c_str(), interface, name, &error.e, &value) < 0) return {};
    std::string text = value ? value : "";
    free(value);
    return text;
  }

  uint64_t timeProperty(const char* name) {
    BusError error;
    uint64_t value = 0;
    if (sd_bus_get_property_trivial(bus_, kManager, unitPath_.c_str(), "org.freedesktop.systemd1.Service", name,
                                    &error.e, 't', &value) < 0 ||
        value == 0)
      return kDefaultWaitUs;
    return value < kLongestWaitUs ? value : kLongestWaitUs;
  }

  sd_bus* bus_ = nullptr;
  sd_bus_slot* jobSlot_ = nullptr;
  std::string unit_, unitPath_;
  std::set<std::pair<std::string, std::string>> removedJobs_;
  bool stopFinished_ = true;
};

}  // namespace

std::unique_ptr<ServiceManager> MakeSystemServiceManager() { return std::make_unique<SystemdServiceManager>(); }

}  // namespace zel
