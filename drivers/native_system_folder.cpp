#include "drivers/native_system_folder.h"

namespace kq {

NativeSystemFolder::NativeSystemFolder(bool is64BitOs, const wchar_t* caption)
    : caption_(caption),
      wanted_(is64BitOs),
      off_(is64BitOs && Wow64DisableWow64FsRedirection(&previous_)) {}

void NativeSystemFolder::Restore() {
  if (!off_) return;
  off_ = false;
  if (!Wow64RevertWow64FsRedirection(previous_)) {
    MessageBoxW(nullptr, L"Can't revert WOW64 redirection", caption_, MB_OK);
    ExitProcess(1);
  }
}

}  // namespace kq
