// Documents per second queued by ScanOutbound, and tickets per second loaded by LoadDueTickets, for
// 1,000 and 10,000 documents of 20 KB on the build machine's disk. Cost per document should not
// grow with the count.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/CPConfig.h"
#include "engine/CPTicket.h"
#include "engine/OutboundScanner.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
  double scanPerSecond, loadPerSecond;
  size_t due;
};

Figures Run(const std::string& base, int count) {
  fs::remove_all(base);
  for (const char* name : {"out", "queue", "bad"}) fs::create_directories(base + "/" + name);
  const std::string padding(20 * 1024, 'p');
  for (int i = 0; i < count; ++i) {
    std::ofstream(base + "/out/doc" + std::to_string(i) + ".xml")
        << "<Envelope><EDHeader><ParticipantID>P1</ParticipantID></EDHeader><RoutingInf><EnvelopeID>e" << i
        << "</EnvelopeID></RoutingInf><b>" << padding << "</b></Envelope>";
  }
  zel::CPConfig config;
  config.paths.Outbound = base + "/out";
  config.paths.Queue = base + "/queue";
  config.paths.Bad = base + "/bad";
  auto account = std::make_shared<zel::CPConfigAccount>();
  account->ParticipantID = "P1";
  config.accounts.push_back(account);

  auto start = Clock::now();
  zel::ScanOutbound(config);
  double scan = std::chrono::duration<double>(Clock::now() - start).count();
  start = Clock::now();
  zel::DueTickets due = zel::LoadDueTickets(config);
  double load = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove_all(base);
  return {count / scan, count / load, due.batchA.size()};
}

}  // namespace

int main() {
  const std::string base = std::string(ZEL_BENCH_DIR) + "/engine-bench";
  std::printf("%10s %18s %18s %8s\n", "documents", "queued per second", "loaded per second", "due");
  for (int count : {1000, 10000}) {
    Figures f = Run(base, count);
    std::printf("%10d %18.0f %18.0f %8zu\n", count, f.scanPerSecond, f.loadPerSecond, f.due);
  }
  return 0;
}
