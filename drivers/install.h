// The start-up driver gate: checks the driver store and installs the maker's
// drivers from the packages carried in the executable.
#pragma once

#include <windows.h>

// Returns when start-up may go on; ends the process with exit code 1 on every
// fatal path. May clear kq::mcuDriversPresent.
void CheckAndInstallDrivers(HINSTANCE instance, int showCommand);
