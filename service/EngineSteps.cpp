#include "service/EngineSteps.h"

#include "document/FilePlacement.h"
#include "engine/OutboundScanner.h"
#include "engine/QueueWork.h"
#include "mail/MailerThread.h"

namespace zel {

ServiceSteps EngineSteps() {
  ServiceSteps steps;
  steps.prepare = [](ServiceContext& c) { RemoveLeftoverTemporaryFiles(c.config); };
  steps.retrieveLists = [](ServiceContext& c) { RetrieveLists(c.config, c.hosts); };
  steps.scanOutbound = [](ServiceContext& c) { ScanOutbound(c.config); };
  steps.processQueue = [](ServiceContext& c) { ProcessQueue(c.config, c.hosts); };
  steps.mailer = MailerThread;
  return steps;
}

}  // namespace zel
