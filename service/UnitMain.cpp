// zel_unit PROGRAM CONFIG: prints the systemd unit that runs PROGRAM -c CONFIG, as zel -i would
// write it. The build uses it for the unit the package installs.
#include <cstdio>

#include "service/Installer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: zel_unit PROGRAM CONFIG\n", stderr);
    return 2;
  }
  std::fputs(zel::UnitFileText(zel::ServiceCommandLine(argv[1], std::string(argv[2]))).c_str(), stdout);
  return 0;
}
