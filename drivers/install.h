// The start-up driver gate: checks the driver store and installs the maker's
// drivers from the packages carried in the executable.
#pragma once

#include <windows.h>

#include "base/native_machine.h"

namespace kq {

struct DriverGateOutcome {
  // False only when the maker's WinKey/FSK drivers are missing and were not
  // installed (declined, or no package serves the processor); units are
  // then listed without those two ports.
  bool mcuDriversPresent = true;
  // The Windows version's level as the gate classified it first (osver/).
  int osLevel = 0;
};

// Runs before the main window exists. Returns when start-up may go on; ends
// the process with exit code 1 on every fatal path. The native machine picks
// the package (none on a processor the carried packages do not serve) and
// whether the driver store is looked at with WOW64 redirection off.
DriverGateOutcome CheckAndInstallDrivers(HINSTANCE instance, int showCommand,
                                         const NativeMachine& machine);

}  // namespace kq
