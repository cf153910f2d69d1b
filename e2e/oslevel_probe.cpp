// Prints the OsLevel that the program computes at start-up, so the e2e tests
// can tabulate it over the Windows versions Wine emulates. Like the program it
// declares no supported-OS list, so Windows 8.1 and 10 answer as 6.2.
#include <cstdio>

#include "osver/os_level.h"

int main() {
  std::printf("%d\n", kq::DetectOsLevel());
  return 0;
}
