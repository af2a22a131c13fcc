// notification_server RECORD: a desktop notification service for tests. Connects to the session
// bus named by DBUS_SESSION_BUS_ADDRESS, owns org.freedesktop.Notifications, answers Notify with
// increasing ids and appends each call to RECORD as "uid app summary body" lines ending in a line
// of "--". Writes "ready" to RECORD.ready once the name is owned; runs until killed.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string gRecord;
uint32_t gNextId = 1;

int OnNotify(sd_bus_message* m, void*, sd_bus_error*) {
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  uint32_t replaces = 0;
  if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EINVAL;
  uid_t sender = 0;
  sd_bus_creds* creds = nullptr;
  if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_EUID, &creds) >= 0) sd_bus_creds_get_euid(creds, &sender);
  sd_bus_creds_unref(creds);
  std::ofstream(gRecord, std::ios::app | std::ios::binary) << "uid " << sender << "\napp " << app << "\nicon " << icon
                                                           << "\nsummary " << summary << "\nbody " << body << "\n--\n";
  return sd_bus_reply_method_return(m, "u", gNextId++);
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", OnNotify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: notification_server RECORD\n", stderr);
    return 2;
  }
  gRecord = argv[1];
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", kVtable,
                               nullptr) < 0)
    return 1;
  if (sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) return 1;
  std::ofstream(gRecord + ".ready") << "ready\n";
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) return 1;
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
  }
}
