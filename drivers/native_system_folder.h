// WOW64 file-system redirection switched off for a while: a 32-bit process on
// 64-bit Windows sees SysWOW64 where it asks for System32, unless it switches
// that off around what must see the real one (the driver store, the 64-bit
// command shell and rundll32.exe).
#pragma once

#include <windows.h>

namespace kq {

// The caption of the driver gate's message when a restore fails.
inline constexpr wchar_t kRedirectionCaption[] = L"Driver installer";

// While it lives, the calling thread sees the 64-bit System32: redirection is
// off. It does nothing on 32-bit Windows. A thread left without redirection
// would load and open the wrong files from then on, so a restore that fails
// ends the process at once with exit code 1, after a message box captioned
// `caption`.
class NativeSystemFolder {
 public:
  NativeSystemFolder(bool is64BitOs, const wchar_t* caption);
  ~NativeSystemFolder() { Restore(); }
  NativeSystemFolder(const NativeSystemFolder&) = delete;
  NativeSystemFolder& operator=(const NativeSystemFolder&) = delete;

  // On 64-bit Windows, redirection could not be switched off: the thread
  // sees what the process always sees.
  bool Unavailable() const { return wanted_ && !off_; }

  // Switches redirection back on now rather than at the end of the scope.
  void Restore();

 private:
  const wchar_t* caption_;
  PVOID previous_ = nullptr;  // may be null: it is a state, not a handle
  bool wanted_;
  bool off_;
};

}  // namespace kq
