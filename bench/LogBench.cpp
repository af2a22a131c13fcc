// Lines per second through the file channel (one write per information line), from two threads at once, to a
// log on the build machine's disk (the build folder). Afterwards every line is checked whole.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>

#include "common/Log.h"
#include "platform/ServiceHost.h"

namespace {

const std::string kLogPath = std::string(ZEL_BENCH_DIR) + "/bench-zel.log";

void BM_LogLinesTwoThreads(benchmark::State& state) {
  if (state.thread_index() == 0) {
    int error = 0;
    zel::AttachLogFile(zel::OpenLogFile(kLogPath, true, &error));
  }
  const char tag = char('a' + state.thread_index());
  long n = 0;
  for (auto _ : state)
    zel::LogInfo("thread %c line %08ld: Sending file 12345.xml to server as account ООО Ромашка", tag, n++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLinesTwoThreads)->Threads(2)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  zel::AttachLogFile(nullptr);
  std::ifstream log(kLogPath, std::ios::binary);
  const std::regex whole(R"(\[I\] \d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d thread [ab] line \d{8}: Sending .*\r)");
  std::string line;
  long lines = 0, broken = 0;
  while (std::getline(log, line)) {
    ++lines;
    if (!std::regex_match(line, whole)) ++broken;
  }
  std::printf("log lines written: %ld, broken or interleaved: %ld\n", lines, broken);
  std::remove(kLogPath.c_str());
  return broken ? 1 : 0;
}
