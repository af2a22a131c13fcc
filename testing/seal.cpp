// zel_seal LOGIN PASSWORD: the stored form of PASSWORD under LOGIN, for test and demo configs.
#include <cstdio>
#include <string>

#include "config/PasswordCipher.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: zel_seal LOGIN PASSWORD\n", stderr);
    return 2;
  }
  auto stored = zel::EncryptText(std::string(argv[1]), std::string_view(argv[2]));
  if (!stored) return 1;
  std::printf("%s\n", stored->c_str());
  return 0;
}
