// Mail boundaries from CryptoAPI's random bytes and MD5. The script runs this first in a fresh
// prefix, whose account has no default key container yet: boundaries must still come.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "mail/MailComposer.h"

namespace zel {
namespace {

TEST(CryptoApiBoundary, FreshBoundariesOf51CharactersEvenWithoutAKeyContainer) {
  auto first = MakeBoundary();
  auto second = MakeBoundary();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  const std::regex shape("----=_NextPart_[0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(*first, shape)) << *first;
  EXPECT_EQ(first->size(), 51u);
  EXPECT_NE(*first, *second);
}

}  // namespace
}  // namespace zel
