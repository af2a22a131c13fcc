#include "service/EngineSteps.h"

#include "engine/OutboundScanner.h"

namespace zel {

// The outbound scan runs on every pass. Retrieving the lists and working the queue need the
// exchange client, which this build does not have yet: queued tickets wait in the queue folder.
ServiceSteps EngineSteps() {
  ServiceSteps steps;
  steps.scanOutbound = [](ServiceContext& context) { ScanOutbound(context.config); };
  return steps;
}

}  // namespace zel
