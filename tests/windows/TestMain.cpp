// Shared main of the Windows test programs: every program runs with a private temporary folder
// (TMP and TEMP, which GetTempPathW reads), and fails when a test leaves a file behind in it.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::error_code ec;
  std::filesystem::path dir;
  std::random_device random;
  for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
    std::filesystem::path candidate =
        std::filesystem::temp_directory_path(ec) / ("zeltest." + std::to_string(random() % 1000000));
    if (std::filesystem::create_directory(candidate, ec)) dir = candidate;
  }
  if (dir.empty()) return 2;
  SetEnvironmentVariableW(L"TMP", dir.c_str());
  SetEnvironmentVariableW(L"TEMP", dir.c_str());
  _wputenv_s(L"TMP", dir.c_str());
  _wputenv_s(L"TEMP", dir.c_str());
  int rc = RUN_ALL_TESTS();
  int leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::cerr << "temporary file left behind: " << entry.path() << "\n";
    ++leftovers;
  }
  std::filesystem::remove_all(dir, ec);
  return leftovers ? 1 : rc;
}
