// zel as a real process against a hostile server (account Mallory, hostid 1, on 127.0.0.2) and the
// test exchange server (account Alice, hostid 0, on localhost) at once. For each abusive answer:
// peak memory stays bounded (asserted in the optimised build only), TMPDIR and the folders stay
// bounded, the hostile file stays on the server, Alice's documents still travel both ways, and
// SIGTERM ends zel within 2 s in the foreground and in service mode.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <filesystem>
#include <regex>

#include "tests/engine/ExchangeWorld.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Contains;

#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
constexpr bool kOptimised = true;
#else
constexpr bool kOptimised = false;  // a sanitizer's own memory makes RSS meaningless
#endif

constexpr int64_t kRssBound = int64_t(64) << 20;
// How soon a stop ends zel; a sanitizer build also checks its whole heap for leaks on the way out.
constexpr std::chrono::milliseconds kStopBound{kOptimised ? 2000 : 5000};
constexpr int64_t kMiB = int64_t(1) << 20;
// What TMPDIR may hold when a case needs none of it: one inflated piece spilled at most.
constexpr int64_t kSpill = 2 * kMiB;

struct HostileCase {
  const char* name;
  uint64_t size;
  const char* bound;  // the log text that shows the bound held
  int64_t tmpBound;   // the most TMPDIR may hold at any time
  bool healthyToo;    // Alice's exchange is shown in the same run
  bool heavy;         // run in the optimised build only
};

// Samples the total size of the files below a folder, keeping the largest seen.
class SizeSampler {
 public:
  explicit SizeSampler(std::string dir) : dir_(std::move(dir)), thread_([this] { run(); }) {}
  ~SizeSampler() {
    stop_ = true;
    thread_.join();
  }
  int64_t peak() const { return peak_; }

 private:
  void run() {
    while (!stop_) {
      int64_t total = 0;
      std::error_code ec;
      for (auto it = fs::recursive_directory_iterator(dir_, ec); !ec && it != fs::recursive_directory_iterator();
           it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) total += int64_t(it->file_size(sizeError));
      }
      peak_ = std::max<int64_t>(peak_, total);
      std::this_thread::sleep_for(20ms);
    }
  }
  std::string dir_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> peak_{0};
  std::thread thread_;
};

// The peak resident size of a process, from the kernel's own high-water mark.
int64_t PeakRss(pid_t pid) {
  std::smatch m;
  const std::string status = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  if (!std::regex_search(status, m, std::regex("VmHWM:\\s+(\\d+) kB"))) return -1;
  return std::stoll(m[1]) * 1024;
}

size_t CountLines(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(line + "\n", at)) != std::string::npos; at += line.size())
    if (at == 0 || text[at - 1] == '\n') ++n;
  return n;
}

class Hostile : public testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    const HostileCase& c = GetParam();
    if (c.heavy && !kOptimised) GTEST_SKIP() << "a gigabyte case runs in the optimised build only";
    world = std::make_unique<test::ExchangeWorld>(test::WorldOptions{});
    fs::create_directories(world->dir / "tmp");
    hostile = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{std::string(ZEL_BINARY_DIR) + "/testing/hostile_server", "--cert",
                                 std::string(ZEL_BINARY_DIR) + "/pki/hostile.pem", "--key",
                                 std::string(ZEL_BINARY_DIR) + "/pki/hostile-key.pem", "--bind", "127.0.0.2", "--port",
                                 std::to_string(world->port), "--journal", world->dir / "hostile.journal", "--case",
                                 c.name, "--size", std::to_string(c.size), "--trickle-ms", "400"},
        std::vector<std::string>{}, world->dir / "hostile.out");
    ASSERT_TRUE(world->WaitFor([&] { return Contains(HostileJournal(), "ready\n"); }, 10)) << hostile->output();
    const std::string b = world->dir / "base";
    test::WriteFile(
        world->dir / "base/config.xml",
        "<config><Basedir path='" + b +
            "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
            "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/><Logfile path='$basedir/log/zel.log'/>"
            "<Accounts><Account name='Alice' ParticipantID='PID-A' login='alice' password='" +
            *EncryptText(std::string("alice"), std::string_view("secretA")) +
            "' hostid='0'/><Account name='Mallory' ParticipantID='PID-M' login='mallory' password='" +
            *EncryptText(std::string("mallory"), std::string_view("secretM")) +
            "' hostid='1'/></Accounts><Server port='" + std::to_string(world->port) +
            "' refresh='30' list='/EDAP/list.php' get='/EDAP/get.php' post='/EDAP/send.php' "
            "remove='/EDAP/rm.php' textmessage='true' compression='true'/></config>");
  }

  std::unique_ptr<test::ChildProcess> StartZel(bool serviceMode) {
    std::vector<std::string> env = {"SSL_CERT_FILE=" + std::string(ZEL_BINARY_DIR) + "/pki/ca.pem",
                                    "ZEL_SERVER_HOSTS=localhost,127.0.0.2,127.0.0.2,127.0.0.2,127.0.0.2",
                                    "ZEL_CONSOLE_RECORD=" + (world->dir / "console"),
                                    "ZEL_STATE_DIR=" + (world->dir / "base/state"),
                                    "ZEL_TEST_TICK_MS=20",
                                    "ZEL_TEST_RETRY_SECONDS=1",
                                    "ZEL_TEST_LOW_SPEED_WINDOW_MS=3000",
                                    "TMPDIR=" + (world->dir / "tmp"),
                                    "NOTIFY_SOCKET=" + (serviceMode ? world->dir / "notify" : std::string())};
    std::vector<std::string> argv = {world->dir / "base/zel", "-c", world->dir / "base/config.xml"};
    if (!serviceMode) argv.insert(argv.begin() + 1, "-f");
    return std::make_unique<test::ChildProcess>(argv, env, world->dir / (serviceMode ? "service.out" : "zel.out"));
  }

  std::string HostileJournal() { return test::ReadFile(world->dir / "hostile.journal"); }

  // Waits for the hostile server to take one more request, then stops zel and times its end.
  void StopsWithinTwoSeconds(test::ChildProcess& zel, const char* mode, int signal = SIGTERM) {
    auto requests = [&] {
      const std::string journal = HostileJournal();
      return std::count(journal.begin(), journal.end(), '\n');
    };
    const auto before = requests();
    world->WaitFor([&] { return requests() > before; }, 10);
    std::this_thread::sleep_for(100ms);  // into the transfer
    const auto stopped = std::chrono::steady_clock::now();
    zel.signal(signal);
    EXPECT_EQ(zel.wait(10s), 0) << mode;
    const auto took = std::chrono::steady_clock::now() - stopped;
    EXPECT_LT(took, kStopBound) << mode << "\n" << world->Log().substr(0, 4000);
    std::cout << GetParam().name << ", " << mode << ": ended "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms after the signal\n";
  }

  std::unique_ptr<test::ExchangeWorld> world;
  std::unique_ptr<test::ChildProcess> hostile;
};

TEST_P(Hostile, StaysBoundedKeepsExchangingAndStopsPromptly) {
  const HostileCase& c = GetParam();
  const std::string doc = test::ExchangeWorld::Envelope("PID-A", "in-h", 3000);
  world->PutInbox("alice", "healthy.xml", doc);
  const std::string up = world->Drop("up.xml", "PID-A", "env-h");
  SizeSampler tmp(world->dir / "tmp"), bad(world->dir / "base/bad");
  auto zel = StartZel(false);
  const bool done = world->WaitFor(
      [&] {
        const bool healthy =
            !c.healthyToo || (fs::exists(world->dir / "base/in/healthy.xml") &&
                              !world->OnServer("alice", "healthy.xml") && !world->Posted("alice", "env-h").empty());
        return healthy && Contains(world->Log(), c.bound);
      },
      120);
  const int64_t rss = PeakRss(zel->pid());
  ASSERT_TRUE(done) << world->Log().substr(0, 20000);
  if (c.healthyToo) {
    EXPECT_EQ(test::ReadFile(world->dir / "base/in/healthy.xml"), doc);
    EXPECT_EQ(world->Posted("alice", "env-h"), up);
  }
  // What a case must never be allowed to leave behind.
  const std::string file = std::string(c.name) + ".xml", journal = HostileJournal();
  EXPECT_EQ(journal.find("rm " + file), std::string::npos) << "the file stays on the server";
  EXPECT_EQ(bad.peak(), 0) << "nothing was written to the bad folder";
  EXPECT_LE(tmp.peak(), c.tmpBound) << "TMPDIR";
  std::cout << c.name << ": peak RSS " << rss / 1024 << " KiB, peak TMPDIR " << tmp.peak() / 1024 << " KiB\n";
  if (kOptimised) {
    EXPECT_LT(rss, kRssBound) << "peak RSS";
  }
  EXPECT_GT(rss, 0);

  const std::string name = c.name;
  if (name == "note") {
    const std::string console = test::ReadFile(world->dir / "console");
    const std::string shown = "Velmor Carvoss\n" + std::string(2047, 'a') + "\n\x1e\n";
    EXPECT_EQ(console.substr(0, shown.size()), shown) << "the shown part only, cut at 2047";
  }
  if (name == "bomb" || name == "chunk") {
    // Listed again and again, fetched once: not again until the service restarts.
    ASSERT_TRUE(world->WaitFor([&] { return CountLines(HostileJournal(), "list") >= 4; }, 30));
    EXPECT_EQ(CountLines(HostileJournal(), "get " + file), 1u) << HostileJournal();
  }
  if (name == "trickle") {
    EXPECT_TRUE(Contains(world->Log(), "Receiving data from remote host 127.0.0.2 timed out"));
  }

  StopsWithinTwoSeconds(*zel, "foreground");
  EXPECT_TRUE(Contains(world->Log(), " stopped\r\n"));

  // The same server under the service manager.
  struct NotifySocket {
    explicit NotifySocket(const std::string& path) {
      fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      path.copy(addr.sun_path, sizeof addr.sun_path - 1);
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~NotifySocket() { close(fd); }
    int fd;
  } notify(world->dir / "notify");
  auto service = StartZel(true);
  StopsWithinTwoSeconds(*service, "service");
  const std::string log = world->Log();
  size_t stops = 0;
  for (size_t at = 0; (at = log.find(" stopped\r\n", at)) != std::string::npos; ++at) ++stops;
  EXPECT_GE(stops, 2u) << "an orderly end in service mode too";
  if (name == "trickle") {
    // Ctrl-C in the foreground while a pass is held by the trickle.
    auto again = StartZel(false);
    StopsWithinTwoSeconds(*again, "foreground, Ctrl-C", SIGINT);
  }
}

// The bound each case must hit, as its log line tells.
const HostileCase kCases[] = {
    {"head", 0, "Response head longer than 65536 bytes: the response is broken", kSpill, true, false},
    {"length", 0, "Broken message: Content-Length 4294967306 is out of range", kSpill, true, false},
    {"status", 0, "Broken response: status 4294967496 is out of range", kSpill, true, false},
    {"lf", kOptimised ? 100000000 : 1000000,
     kOptimised ? "List for account Mallory loaded, 100000000 files" : "List for account Mallory loaded, 1000000 files",
     kSpill, true, false},
    {"names", 200000, "List for account Mallory holds more than 100000 names: the rest wait for the next list", kSpill,
     false, false},
    {"note", 128 * kMiB, "File NOTE.TXT removed from server", 129 * kMiB, true, false},
    {"bomb", 1536 * kMiB, "File bomb.xml is larger than 1073741824 bytes", 1024 * kMiB + kSpill, true, true},
    {"chunk", 0, "File chunk.xml is larger than 1073741824 bytes", kSpill, true, false},
    {"trickle", 0, "File trickle.xml partial download", kSpill, true, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel
