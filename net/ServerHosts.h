// The fixed table of the five exchange-server hosts, chosen by an account's hostid; row 0 is the
// primary host, and any hostid outside 0..4 selects it. ZEL_SERVER_HOSTS (five comma-separated
// names, read once) replaces the built-in names, for staging and tests. Shared by both programs.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

constexpr int32_t kServerHostCount = 5;

const std::string& ServerHost(int32_t hostid);

}  // namespace zel
