// Shared main of the test programs: every program runs with a private TMPDIR, and fails when a test
// leaves a temporary file behind in it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  char pattern[] = "/tmp/zeltest.XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) return 2;
  setenv("TMPDIR", dir, 1);
  int rc = RUN_ALL_TESTS();
  std::error_code ec;
  int leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::cerr << "temporary file left behind: " << entry.path() << "\n";
    ++leftovers;
  }
  std::filesystem::remove_all(dir, ec);
  return leftovers ? 1 : rc;
}
