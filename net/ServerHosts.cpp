#include "net/ServerHosts.h"

#include <array>
#include <cstdlib>

#include "common/TextConv.h"

namespace zel {
namespace {

std::array<std::string, kServerHostCount> HostTable() {
  std::array<std::string, kServerHostCount> table = {"edh1.carvoss.ru", "edh2.carvoss.ru", "edh3.carvoss.ru",
                                                     "edh4.carvoss.ru", "edh5.carvoss.ru"};
  if (const char* override = std::getenv("ZEL_SERVER_HOSTS")) {
    std::string list = override;
    size_t row = 0, start = 0;
    while (row < table.size() && start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      TrimSpaces(name);
      if (!name.empty()) table[row] = name;
      ++row;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return table;
}

}  // namespace

const std::string& ServerHost(int32_t hostid) {
  static const std::array<std::string, kServerHostCount> table = HostTable();
  return table[hostid >= 0 && hostid < kServerHostCount ? size_t(hostid) : 0];
}

}  // namespace zel
