// The start-up driver gate: checks the driver store and installs the maker's
// drivers from the packages carried in the executable.
#pragma once

#include <windows.h>

#include "base/native_machine.h"

namespace kq {

struct DriverGateOutcome {
  // False only when the user declined to install the maker's WinKey/FSK
  // drivers; units are then listed without those two ports.
  bool mcuDriversPresent = true;
};

// Runs before the main window exists. Returns when start-up may go on; ends
// the process with exit code 1 on every fatal path. The native machine picks
// the package (none on a processor the carried packages do not serve) and
// whether the driver store is looked at with WOW64 redirection off.
DriverGateOutcome CheckAndInstallDrivers(HINSTANCE instance, int showCommand,
                                         const NativeMachine& machine);

}  // namespace kq
