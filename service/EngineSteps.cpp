#include "service/EngineSteps.h"

namespace zel {

// The exchange engine and the mail gateway are not part of this build yet: the loop runs its
// passes and waits, and nothing is exchanged.
ServiceSteps EngineSteps() { return {}; }

}  // namespace zel
