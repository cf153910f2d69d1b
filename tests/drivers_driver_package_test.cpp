#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/native_machine.h"
#include "drivers/driver_package.h"

namespace kq::test {

namespace {

struct Decision {
  DriverPackage package;
  bool wow64;
  std::wstring name;
};

// As the x86 program decides: it runs on every machine below.
Decision Decide(std::optional<std::uint16_t> imageMachine, std::uint16_t architecture) {
  const NativeMachine machine = ClassifyNativeMachine({imageMachine, architecture});
  return {DriverPackageFor(Machine::kX86, machine.kind),
          RunsUnderWow64(Machine::kX86, machine.kind), machine.name};
}

void ExpectDecision(const Decision& decision, DriverPackage package, bool wow64,
                    const std::wstring& name, const char* what) {
  EXPECT_EQ(decision.package, package) << what;
  EXPECT_EQ(decision.wow64, wow64) << what;
  EXPECT_EQ(decision.name, name) << what;
}

// Without IsWow64Process2 (every Windows before 10 1709) the processor
// architecture of GetNativeSystemInfo decides, for the machines the rule was
// written for; anything else gets no package and no redirection handling.
TEST(NativeMachine, WithoutIsWow64Process2TheArchitectureDecides) {
  ExpectDecision(Decide(std::nullopt, 0), DriverPackage::kX86, false, L"x86", "INTEL");
  ExpectDecision(Decide(std::nullopt, 9), DriverPackage::kX64, true, L"x64", "AMD64");
  ExpectDecision(Decide(std::nullopt, 6), DriverPackage::kX64, true, L"IA-64", "IA64");
  ExpectDecision(Decide(std::nullopt, 12), DriverPackage::kNone, true, L"ARM64", "ARM64");
  // Codes that once passed the masks of 9 or 6 without being either machine.
  ExpectDecision(Decide(std::nullopt, 14), DriverPackage::kNone, false,
                 L"unknown (architecture 14)", "IA32_ON_ARM64");
  ExpectDecision(Decide(std::nullopt, 0xFFFF), DriverPackage::kNone, false,
                 L"unknown (architecture 65535)", "UNKNOWN");
}

// Where the call exists its native machine counts, whatever
// GetNativeSystemInfo said: an x86 process on ARM64 is told "x86" there.
TEST(NativeMachine, IsWow64Process2NamesTheMachineOnArm64) {
  ExpectDecision(Decide(0xAA64, 0), DriverPackage::kNone, true, L"ARM64", "x86 process on ARM64");
  ExpectDecision(Decide(0x8664, 9), DriverPackage::kX64, true, L"x64", "on x64");
  ExpectDecision(Decide(0x014C, 0), DriverPackage::kX86, false, L"x86", "on x86");
  ExpectDecision(Decide(0x01C4, 0), DriverPackage::kNone, false, L"unknown (machine 0x01C4)",
                 "on 32-bit ARM");
}

// The x64 program runs natively on x64 Windows and emulated on ARM64, never
// under WOW64; it carries the x64 package alone, and offers it only on x64.
// IsWow64Process2 names ARM64 to an emulated x64 process too, whose
// GetNativeSystemInfo says x64.
TEST(NativeMachine, TheX64ProgramTakesTheX64PackageOnX64Alone) {
  const auto decide = [](std::optional<std::uint16_t> imageMachine, std::uint16_t architecture) {
    const NativeMachine machine = ClassifyNativeMachine({imageMachine, architecture});
    return Decision{DriverPackageFor(Machine::kX64, machine.kind),
                    RunsUnderWow64(Machine::kX64, machine.kind), machine.name};
  };
  ExpectDecision(decide(0x8664, 9), DriverPackage::kX64, false, L"x64", "on x64");
  ExpectDecision(decide(std::nullopt, 9), DriverPackage::kX64, false, L"x64", "x64 before 1709");
  ExpectDecision(decide(0xAA64, 9), DriverPackage::kNone, false, L"ARM64", "emulated on ARM64");
  // Machines it cannot run on: whatever they were told, never the x86 package.
  ExpectDecision(decide(0x014C, 0), DriverPackage::kNone, false, L"x86", "on x86");
  ExpectDecision(decide(std::nullopt, 6), DriverPackage::kNone, false, L"IA-64", "on IA-64");
}

TEST(NativeMachine, TheMessageNamesThePackagesAndTheProcessor) {
  const std::wstring text = NoDriverPackageText(ClassifyNativeMachine({0xAA64, 0}));
  EXPECT_NE(text.find(L"for x86 and x64 Windows"), std::wstring::npos);
  EXPECT_NE(text.find(L"this processor (ARM64) come from Quorvanta"), std::wstring::npos);
}

}  // namespace

}  // namespace kq::test
