// Owners for the kernel handles the driver gate and the console report open.
#pragma once

#include <windows.h>

#include "base/unique_handle.h"

namespace kq {

// File and search handles use INVALID_HANDLE_VALUE, not NULL, for "none".
template <auto CloseFunction>
struct InvalidValueTraits {
  using pointer = HANDLE;
  static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer handle) noexcept { CloseFunction(handle); }
};

using UniqueFile = UniqueHandle<InvalidValueTraits<CloseHandle>>;
using UniqueFind = UniqueHandle<InvalidValueTraits<FindClose>>;
// Process, thread and event handles, like most other kernel objects: NULL,
// not INVALID_HANDLE_VALUE, is "none".
using UniqueKernelHandle = UniqueHandle<NullIsInvalidTraits<HANDLE, CloseHandle>>;

}  // namespace kq
