// Which of the two driver packages the program carries serves the machine.
#pragma once

#include <string>

#include "base/native_machine.h"

namespace kq {

enum class DriverPackage { kNone, kX86, kX64 };

// The package that serves `machine`, of those a program built for `program`
// carries. The x86 program carries both: x86 Windows takes the x86 package;
// x64 Windows, and IA-64 Windows as it always has, the x64 one. The x64
// program runs only on x64 Windows and on ARM64 Windows, emulated, and
// carries only the x64 package. The packages' kernel drivers and INF
// sections are for x86 and x64 alone: on ARM64 or any other processor they
// could not install, so none is offered there.
DriverPackage DriverPackageFor(Machine program, Machine machine);

// What the user is told, once, when no carried package serves `machine`.
std::wstring NoDriverPackageText(const NativeMachine& machine);

}  // namespace kq
