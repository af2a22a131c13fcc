// ValidateConfig: the start checks, in order; the first failure is reported on the event channel.
// Main folders are never created; per-account subfolders are (one level).
#include <filesystem>
#include <system_error>

#include "common/Log.h"
#include "common/Utf8Path.h"
#include "config/CPConfig.h"

namespace zel {
namespace {

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(Utf8Path(path), ec);
}

bool CheckFolder(const OptString& path, const char* name) {
  if (!path) {
    EventError("Parameter %s path not found in config file", name);
    return false;
  }
  if (!IsFolder(*path)) {
    EventError("%s path %s does not exist", name, path->c_str());
    return false;
  }
  return true;
}

bool EnsureSubfolder(const std::string& parent, const std::string& name) {
  // An empty name names the parent folder itself, which the checks before found.
  if (name.empty()) return true;
  // A name that is not one plain path element would name a folder elsewhere: refuse it.
  bool plain = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
  std::string path = parent + "/" + name;
  if (plain && IsFolder(path)) return true;
  std::error_code ec;
  if (!plain || !std::filesystem::create_directory(Utf8Path(path), ec)) {
    EventError("Cannot create subfolder %s/%s", parent.c_str(), name.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool ValidateConfig(const CPConfig& c) {
  const CPConfigPaths& p = c.paths;
  if (!CheckFolder(p.Basedir, "Basedir") || !CheckFolder(p.Bad, "Bad") || !CheckFolder(p.Inbound, "Inbound") ||
      !CheckFolder(p.Outbound, "Outbound") || !CheckFolder(p.Queue, "Queue") || !CheckFolder(p.Temp, "Temp"))
    return false;
  if (p.copyEnabled && p.Copy && !IsFolder(*p.Copy)) {
    EventError("Copy path %s does not exist", p.Copy->c_str());
    return false;
  }
  if (c.server.port == 0) {
    EventError("Parameter Server port not found (or invalid) in config file");
    return false;
  }
  struct Request {
    const OptString& value;
    const char* name;
  };
  for (const Request& r : {Request{c.server.list, "list"}, Request{c.server.get, "get"}, Request{c.server.post, "post"},
                           Request{c.server.remove, "remove"}}) {
    if (!r.value) {
      EventError("Parameter Server %s not found in config file", r.name);
      return false;
    }
  }
  if (p.subdirsEnabled) {
    for (const auto& a : c.accounts) {
      if (p.subdirsByLogin) {
        if (!a->login) continue;
        if (!EnsureSubfolder(*p.Inbound, *a->login) || !EnsureSubfolder(*p.Outbound, *a->login)) return false;
      } else {
        if (!a->ParticipantID) continue;
        if (!EnsureSubfolder(*p.Inbound, *a->ParticipantID)) return false;
      }
    }
  }
  if (!p.Logfile) EventWarning("Parameter Logfile path not found in config file, no log will be created");
  return true;
}

}  // namespace zel
