// Small helpers shared by the tests: a scratch folder removed at the end, whole-file reads and
// writes, and a recorder for the event channel.
#pragma once

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/TestKnobs.h"
#include "common/Utf8Path.h"

// For a test that runs zel with shortened timings: skipped, saying why, in a build that ignores the
// ZEL_TEST_* knobs.
#define ZEL_REQUIRE_TEST_KNOBS()  \
  if (!::zel::TestKnobsEnabled()) \
  GTEST_SKIP() << "needs a build configured with -DZEL_TEST_KNOBS=ON, which honours the ZEL_TEST_* timings"

namespace zel::test {

class ScratchDir {
 public:
  // In TMPDIR, or in `parent` when given.
  explicit ScratchDir(const std::string& parent = "") {
    std::string pattern =
        ((parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent)) / "scratchXXXXXX")
            .string();
#ifdef _WIN32
    // No mkdtemp on Windows: a random name, taken only when the folder did not exist yet.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string name = pattern.substr(0, pattern.size() - 6);
      for (int i = 0; i < 6; ++i) name += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
      std::error_code ec;
      if (std::filesystem::create_directory(name, ec)) path_ = name;
    }
    for (char& c : path_)
      if (c == '\\') c = '/';
#else
    const char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
#endif
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline size_t CountFiles(const std::string& dir) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}

// Temporary files anywhere under `folder`: hidden names and names with ".tmp" in them.
inline std::vector<std::string> TemporaryLeftovers(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name[0] == '.' || name.find(".tmp") != std::string::npos) found.push_back(it->path().string());
  }
  return found;
}

#ifndef _WIN32
// A small tmpfs mounted on a new folder for the life of the object, for tests that need a file
// system that fills up. Not mounted (ok() false) where this process may not mount.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& at, const std::string& size) : at_(at) {
    std::error_code ec;
    std::filesystem::create_directories(at, ec);
    ok_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0777").c_str()) == 0;
  }
  ~TmpfsMount() {
    if (ok_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool ok() const { return ok_; }
  bool resize(const std::string& size) {
    return ::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
  }

 private:
  std::string at_;
  bool ok_ = false;
};
#endif

// Installs itself as the event sink for its lifetime and keeps every message.
class EventRecorder : public EventSink {
 public:
  struct Event {
    LogLevel level;
    std::string message;
  };
  static std::shared_ptr<EventRecorder> Install() {
    auto recorder = std::make_shared<EventRecorder>();
    SetEventSink(recorder);
    return recorder;
  }
  ~EventRecorder() override = default;
  void report(LogLevel level, const std::string& message) override {
    std::lock_guard<std::mutex> hold(lock_);
    events_.push_back({level, message});
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
  }
  std::string messages() {
    std::string all;
    for (const auto& e : events()) all += std::string(1, char(e.level)) + ":" + e.message + "\n";
    return all;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(lock_);
    events_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<Event> events_;
};

}  // namespace zel::test
