#include "drivers/driver_package.h"

namespace kq {

DriverPackage DriverPackageFor(Machine machine) {
  switch (machine) {
    case Machine::kX86:
      return DriverPackage::kX86;
    case Machine::kX64:
    case Machine::kIa64:
      return DriverPackage::kX64;
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
