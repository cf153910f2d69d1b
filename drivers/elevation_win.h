// The Windows side of an installation's elevation (elevation.h): the run
// folder under the system's Windows folder, the user's SID, the program's
// lock, and the security descriptors the program and the self-extractor make
// from elevation.h's texts.
#pragma once

#include <optional>
#include <string>

#include "base/win_handles.h"  // windows.h, which sddl.h needs first
#include "drivers/elevation.h"

#include <sddl.h>

namespace kq {

// A new run folder name from the system's random generator and the SID of the
// user this process runs as; nothing when either cannot be had.
std::optional<ElevatedRequest> NewElevatedRequest();

// RunFolderUnder the system's Windows folder; empty when that is unreadable
// or too long.
std::wstring RunFolder(const std::wstring& name);

// The SID of the user this process runs as, as ConvertSidToStringSidW
// writes it; empty when it cannot be read.
std::wstring CurrentUserSid();

// The program's lock, taken only when no installation runs: nothing while
// another program of this user installs, or while an elevated self-extractor
// runs its script (the sign of one, owned by Administrators, is there). Held
// until it is released or the process ends.
std::optional<UniqueKernelHandle> TakeInstallationLock();

// A security descriptor made from SDDL text, owned (LocalFree); empty when
// the text is refused.
struct LocalMemoryTraits {
  using pointer = PSECURITY_DESCRIPTOR;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer memory) noexcept { LocalFree(memory); }
};
using UniqueDescriptor = UniqueHandle<LocalMemoryTraits>;
inline UniqueDescriptor DescriptorFromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return {};
  return UniqueDescriptor(descriptor);
}
inline SECURITY_ATTRIBUTES AttributesOf(const UniqueDescriptor& descriptor) {
  return {sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
}

// Whether `owner` is Administrators or SYSTEM: an owner only an elevated
// process or the system can give a file or kernel object.
inline bool IsAdministratorsOrSystem(PSID owner) {
  for (WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (owner && CreateWellKnownSid(type, nullptr, sid, &size) && EqualSid(owner, sid)) return true;
  }
  return false;
}
}  // namespace kq
