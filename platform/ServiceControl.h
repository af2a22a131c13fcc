// The service manager as the configuration tool needs it: reach the manager, find the installed
// service, ask it to stop and wait until it has, start it. On Linux this is systemd's D-Bus API
// on the system bus; nothing here runs systemctl. Every failure is an errno value.
#pragma once

#include <memory>
#include <string>

namespace zel {

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // 0, or errno when no service manager can be reached.
  virtual int connect() = 0;
  // 0, or errno (ENOENT when no such service is installed).
  virtual int openService(const std::string& name) = 0;
  // Asks the service to stop and, when the request is accepted, waits for the stop to finish, at
  // most as long as the service's own stop time-out. 0, or errno when the request was refused.
  virtual int stop() = 0;
  virtual void sleep(int milliseconds) = 0;
  // 0, or errno when the service could not be started (EBUSY while it has not yet stopped).
  virtual int start() = 0;
};

// systemd on the system bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names another bus).
std::unique_ptr<ServiceManager> MakeSystemServiceManager();

}  // namespace zel
