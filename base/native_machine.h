// The processor Windows runs on, as our programs must know it. The x86
// program runs natively on x86 Windows and under WOW64 on x64 and ARM64
// Windows; the x64 program natively on x64 Windows and emulated, without
// WOW64, on ARM64 Windows.
// GetNativeSystemInfo tells an x86 process on ARM64 that the machine is x86
// (as documented); only IsWow64Process2, from Windows 10 1709 on, names the
// native machine there. Where that call exists its answer counts; elsewhere
// (every Windows before 1709, none of which runs on ARM64) the processor
// architecture of GetNativeSystemInfo does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kq {

enum class Machine { kX86, kX64, kIa64, kArm64, kOther };

struct NativeMachineFacts {
  // IsWow64Process2's native machine, an IMAGE_FILE_MACHINE_* value, where
  // the system has the call and it succeeded.
  std::optional<std::uint16_t> imageMachine;
  // GetNativeSystemInfo's wProcessorArchitecture, a PROCESSOR_ARCHITECTURE_* value.
  std::uint16_t processorArchitecture = 0;
};

struct NativeMachine {
  Machine kind = Machine::kOther;
  std::wstring name;  // "x86", "x64", "IA-64", "ARM64", or the code of another
};

inline NativeMachine ClassifyNativeMachine(const NativeMachineFacts& facts) {
  struct Known {
    std::uint16_t imageMachine, processorArchitecture;
    Machine kind;
    const wchar_t* name;
  };
  static constexpr Known kKnown[] = {
      {0x014C, 0, Machine::kX86, L"x86"},
      {0x8664, 9, Machine::kX64, L"x64"},
      {0x0200, 6, Machine::kIa64, L"IA-64"},
      {0xAA64, 12, Machine::kArm64, L"ARM64"},
  };
  for (const Known& known : kKnown) {
    if (facts.imageMachine ? *facts.imageMachine == known.imageMachine
                           : facts.processorArchitecture == known.processorArchitecture)
      return {known.kind, known.name};
  }
  char code[48];
  std::snprintf(code, sizeof code, facts.imageMachine ? "unknown (machine 0x%04X)"
                                                      : "unknown (architecture %u)",
                facts.imageMachine ? unsigned{*facts.imageMachine}
                                   : unsigned{facts.processorArchitecture});
  return {Machine::kOther, std::wstring(code, code + std::char_traits<char>::length(code))};
}

// The processor a program is built for: x86 or x64. Only the Windows
// programs ask; the tests pass either.
#if defined(__x86_64__) || defined(_M_X64)
inline constexpr Machine kProgramMachine = Machine::kX64;
#else
inline constexpr Machine kProgramMachine = Machine::kX86;
#endif

// Whether a program built for `program` runs under WOW64 on `machine`, which
// redirects System32 to SysWOW64 unless the process switches that off: an
// x86 program on every 64-bit Windows. An x64 program sees the real System32
// wherever it runs (on ARM64 it is emulated, not under WOW64).
inline bool RunsUnderWow64(Machine program, Machine machine) {
  return program == Machine::kX86 &&
         (machine == Machine::kX64 || machine == Machine::kIa64 || machine == Machine::kArm64);
}

#ifdef _WIN32
inline NativeMachineFacts ReadNativeMachineFacts() {
  NativeMachineFacts facts;
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  facts.processorArchitecture = system.wProcessorArchitecture;
  using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
  USHORT process = 0;
  USHORT native = 0;
  if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &process, &native))
    facts.imageMachine = native;
  return facts;
}

inline NativeMachine DetectNativeMachine() { return ClassifyNativeMachine(ReadNativeMachineFacts()); }
#endif

}  // namespace kq
