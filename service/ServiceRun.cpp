#include "service/ServiceRun.h"

#include "common/Log.h"
#include "common/TestKnobs.h"
#include "platform/ServiceHost.h"
#include "service/EngineSteps.h"
#include "service/ServiceMain.h"

namespace zel {
namespace {

int Run(int argc, char** argv, const CommandLine& command, bool serviceMode) {
  ServiceOptions options;
  options.serviceMode = serviceMode;
  options.arguments.assign(argv, argv + argc);
  options.commandLineConfigPath = command.configPath;
  // ZEL_TEST_TICK_MS shortens the loop's second, so that tests can run many passes quickly.
  if (std::optional<int64_t> tick = TestKnob("ZEL_TEST_TICK_MS"); tick && *tick > 0)
    options.tick = std::chrono::milliseconds(*tick);
  ServiceRun run(std::move(options), EngineSteps());
  // Signals become controls on a thread of their own, as a service manager's handler would.
  auto signals = StartControlSignalThread([&run](ControlSignal s) { run.control(s); }, serviceMode);
  return run.run();
}

}  // namespace

int RunForeground(int argc, char** argv, const CommandLine& command) { return Run(argc, argv, command, false); }

int RunUnderServiceManager(int argc, char** argv, const CommandLine& command) {
  if (!StartedByServiceManager()) return 0;
  SetEventSink(MakeJournalSink());
  return Run(argc, argv, command, true);
}

}  // namespace zel
