// The exchange engine's steps and the mail gateway as the service loop runs them.
#pragma once

#include "service/ServiceMain.h"

namespace zel {

ServiceSteps EngineSteps();

}  // namespace zel
