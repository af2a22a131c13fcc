#include <gtest/gtest.h>

#include "common/TextConv.h"
#include "net/CPHostCache.h"
#include "platform/Sockets.h"

namespace zel {
namespace {

TEST(CPHostCache, CachesMarksAndRefreshes) {
  CPHostCache cache;
  int64_t clock = 1000000;
  int resolutions = 0;
  bool fail = false;
  cache.now = [&] { return clock; };
  cache.resolve = [&](const std::string& name, int* error) -> std::optional<std::vector<uint32_t>> {
    ++resolutions;
    if (fail || EqualsNoCase(name, "nowhere")) {
      *error = -2;
      return std::nullopt;
    }
    return std::vector<uint32_t>{1, 2, 3};
  };
  EXPECT_EQ(cache.lookup(std::string("10.1.2.3")), std::vector<uint32_t>{*ParseDottedIPv4("10.1.2.3")});
  EXPECT_EQ(resolutions, 0) << "a dotted address never reaches the resolver";
  EXPECT_EQ(cache.lookup(std::nullopt), std::nullopt);

  EXPECT_EQ(cache.lookup(std::string("nowhere")), std::nullopt);
  EXPECT_EQ(cache.lookup(std::string("NOWHERE")), std::nullopt);
  EXPECT_EQ(resolutions, 2) << "a failed name keeps its entry and is resolved again";

  EXPECT_EQ(cache.lookup(std::string("edh")), (std::vector<uint32_t>{1, 2, 3}));
  cache.markAddress(1, true);
  EXPECT_EQ(cache.lookup(std::string("EDH")), (std::vector<uint32_t>{2, 3, 1})) << "failed ones last";
  cache.markAddress(3, true);
  EXPECT_EQ(cache.lookup(std::string("edh")), (std::vector<uint32_t>{2, 1, 3}));
  cache.markAddress(1, false);
  EXPECT_EQ(cache.lookup(std::string("edh")), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(resolutions, 3);
  clock += 900;
  cache.lookup(std::string("edh"));
  EXPECT_EQ(resolutions, 3) << "900 seconds are still within the entry's life";
  cache.markAddress(2, true);
  clock += 1;
  EXPECT_EQ(cache.lookup(std::string("edh")), (std::vector<uint32_t>{1, 2, 3})) << "a new list, marks gone";
  EXPECT_EQ(resolutions, 4);
  clock += 100;
  cache.lookup(std::string("edh"));
  EXPECT_EQ(resolutions, 4);
  cache.clear();
  cache.lookup(std::string("edh"));
  EXPECT_EQ(resolutions, 5);
}

}  // namespace
}  // namespace zel
