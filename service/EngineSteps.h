// The exchange engine's steps and the mail gateway as the service loop runs them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "service/ServiceMain.h"

namespace zel {

ServiceSteps EngineSteps();

// The status line of a pass: "Running, 3 tickets queued, last exchange 2024-03-05 09:07:03" (local
// time), or "..., no exchange with the server yet".
std::string PassStatus(size_t queued, std::optional<int64_t> lastExchange);
// The tickets waiting in the queue folder (any letter case of ".ticket").
size_t CountTickets(const std::optional<std::string>& queueFolder);

}  // namespace zel
