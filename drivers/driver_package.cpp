#include "drivers/driver_package.h"

namespace kq {

DriverPackage DriverPackageFor(Machine program, Machine machine) {
  switch (machine) {
    case Machine::kX86:
      return program == Machine::kX86 ? DriverPackage::kX86 : DriverPackage::kNone;
    case Machine::kX64:
      return DriverPackage::kX64;
    case Machine::kIa64:
      return program == Machine::kX86 ? DriverPackage::kX64 : DriverPackage::kNone;
    case Machine::kArm64:
    case Machine::kOther:
      break;
  }
  return DriverPackage::kNone;
}

std::wstring NoDriverPackageText(const NativeMachine& machine) {
  return L"The WinKey and FSK drivers carried in KQ-6200 Explorer are for x86 and x64 Windows. "
         L"Drivers for this processor (" +
         machine.name +
         L") come from Quorvanta; without them KQ-6200 Explorer can not enumerate WinKey and FSK "
         L"ports.";
}

}  // namespace kq
