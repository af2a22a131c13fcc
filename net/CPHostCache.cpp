#include "net/CPHostCache.h"

#include <algorithm>
#include <ctime>

#include "common/Log.h"
#include "common/TextConv.h"
#include "platform/Sockets.h"

namespace zel {

CPHostCache::CPHostCache()
    : now([] { return int64_t(std::time(nullptr)); }),
      resolve([](const std::string& name, int* error) { return ResolveIPv4(name, error); }) {}

std::optional<std::vector<CPHostCache::Address>> CPHostCache::resolveName(const std::string& name) {
  if (auto dotted = ParseDottedIPv4(name)) return std::vector<Address>{{*dotted, false}};
  int error = 0;
  auto found = resolve(name, &error);
  if (!found) {
    LogError("Cannot find host %s - error %d", name.c_str(), error);
    return std::nullopt;
  }
  std::vector<Address> list;
  for (uint32_t a : *found) list.push_back({a, false});
  return list;
}

std::optional<std::vector<uint32_t>> CPHostCache::lookup(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  const int64_t stamp = now();
  auto entry =
      std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return EqualsNoCase(e.name, *name); });
  if (entry == entries_.end()) {
    entries_.push_back({*name, resolveName(*name), stamp});
    entry = entries_.end() - 1;
  } else if (!entry->addresses || entry->stamp < stamp - 900) {
    entry->addresses = resolveName(*name);
    entry->stamp = stamp;
  }
  if (!entry->addresses) return std::nullopt;
  std::vector<Address> ordered = *entry->addresses;
  std::stable_partition(ordered.begin(), ordered.end(), [](const Address& a) { return !a.failed; });
  std::vector<uint32_t> result;
  for (const Address& a : ordered) result.push_back(a.address);
  return result;
}

void CPHostCache::markAddress(uint32_t address, bool failed) {
  for (Entry& e : entries_) {
    if (!e.addresses) continue;
    for (Address& a : *e.addresses) {
      if (a.address == address) {
        a.failed = failed;
        return;
      }
    }
  }
}

void CPHostCache::clear() { entries_.clear(); }

}  // namespace zel
