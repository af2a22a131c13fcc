// The process-wide cache of host names: IPv4 addresses kept for 900 seconds, with a failed mark per
// address so the next connection tries the addresses that worked, or were never tried, first.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zel {

class CPHostCache {
 public:
  CPHostCache();
  // The addresses of `name` in the order to try them (unmarked first, each group in the
  // resolver's order); none when resolution failed.
  std::optional<std::vector<uint32_t>> lookup(const std::optional<std::string>& name);
  // Sets the mark of the first cached address equal to `address`.
  void markAddress(uint32_t address, bool failed);
  void clear();

  // For tests: the clock (seconds since 1970) and the resolver.
  std::function<int64_t()> now;
  std::function<std::optional<std::vector<uint32_t>>(const std::string&, int*)> resolve;

 private:
  struct Address {
    uint32_t address;
    bool failed;
  };
  struct Entry {
    std::string name;
    std::optional<std::vector<Address>> addresses;
    int64_t stamp;
  };
  std::optional<std::vector<Address>> resolveName(const std::string& name);
  std::vector<Entry> entries_;
};

}  // namespace zel
