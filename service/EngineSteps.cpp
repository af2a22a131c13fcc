#include "service/EngineSteps.h"

#include <ctime>
#include <filesystem>

#include "common/Utf8Path.h"
#include "config/CPConfig.h"
#include "document/FilePlacement.h"
#include "engine/CPExchangeClient.h"
#include "engine/OutboundScanner.h"
#include "engine/QueueWork.h"
#include "mail/MailerThread.h"

namespace zel {

std::string PassStatus(size_t queued, std::optional<int64_t> lastExchange) {
  std::string text = "Running, " + std::to_string(queued) + (queued == 1 ? " ticket" : " tickets") + " queued, ";
  if (!lastExchange) return text + "no exchange with the server yet";
  std::time_t when = std::time_t(*lastExchange);
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return text + "last exchange " + stamp;
}

size_t CountTickets(const std::optional<std::string>& queueFolder) {
  if (!queueFolder) return 0;
  size_t count = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(Utf8Path(*queueFolder), ec), end; !ec && it != end; it.increment(ec)) {
    std::string extension = Utf8Text(it->path().extension());
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".ticket") ++count;
  }
  return count;
}

ServiceSteps EngineSteps() {
  ServiceSteps steps;
  steps.prepare = [](ServiceContext& c) { RemoveLeftoverTemporaryFiles(c.config); };
  steps.retrieveLists = [](ServiceContext& c) { RetrieveLists(c.config, c.hosts); };
  steps.scanOutbound = [](ServiceContext& c) { ScanOutbound(c.config); };
  steps.processQueue = [](ServiceContext& c) { ProcessQueue(c.config, c.hosts); };
  steps.passStatus = [](const CPConfig& config) {
    return PassStatus(CountTickets(config.paths.Queue), LastSuccessfulExchange());
  };
  steps.mailer = MailerThread;
  return steps;
}

}  // namespace zel
