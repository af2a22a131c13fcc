#include "service/ServiceRun.h"

#include "common/Log.h"
#include "common/TestKnobs.h"
#include "platform/ServiceHost.h"
#include "service/EngineSteps.h"
#include "service/ServiceMain.h"

namespace zel {
namespace {

int Run(const std::vector<std::string>& arguments, const CommandLine& command, bool serviceMode) {
  ServiceOptions options;
  options.serviceMode = serviceMode;
  options.arguments = arguments;
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

int RunForeground(int argc, char** argv, const CommandLine& command) {
  return Run(std::vector<std::string>(argv, argv + argc), command, false);
}

int RunUnderServiceManager(int argc, char** argv, const CommandLine& command) {
  int status = 0;
  RunAsService(std::vector<std::string>(argv, argv + argc), [&](const std::vector<std::string>& startArguments) {
    SetEventSink(MakeServiceEventSink());
    status = Run(startArguments, command, true);
  });
  return status;
}

}  // namespace zel
