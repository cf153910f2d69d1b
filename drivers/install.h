// The start-up driver gate: checks the driver store and installs the maker's
// drivers from the packages carried in the executable.
#pragma once

#include <windows.h>

namespace kq {

struct DriverGateOutcome {
  // False only when the user declined to install the maker's WinKey/FSK
  // drivers; units are then listed without those two ports.
  bool mcuDriversPresent = true;
};

// Runs before the main window exists. Returns when start-up may go on; ends
// the process with exit code 1 on every fatal path. `is64BitOs` picks the
// package and the WOW64 handling of the install script.
DriverGateOutcome CheckAndInstallDrivers(HINSTANCE instance, int showCommand, bool is64BitOs);

}  // namespace kq
