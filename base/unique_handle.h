// Move-only owner of one handle of any kind: the closing function and the
// "no handle" value are part of the type, so an owner can never close the
// wrong thing or close twice. Knows nothing of Windows; callers supply traits.
#pragma once

#include <utility>

namespace kq {

// Traits: `using pointer = ...;`, `static pointer invalid() noexcept;`,
// `static void close(pointer) noexcept;`.
template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  pointer get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

  // Gives up ownership without closing, e.g. when the system takes the handle over.
  pointer release() noexcept { return std::exchange(handle_, Traits::invalid()); }

  void reset(pointer handle = Traits::invalid()) noexcept {
    pointer old = std::exchange(handle_, handle);
    if (old != Traits::invalid()) Traits::close(old);
  }

 private:
  pointer handle_ = Traits::invalid();
};

// Traits for the common case of a handle whose empty value is zero / NULL,
// closed by one function whose result does not matter.
template <typename T, auto CloseFunction>
struct NullIsInvalidTraits {
  using pointer = T;
  static constexpr pointer invalid() noexcept { return pointer{}; }
  static void close(pointer handle) noexcept { CloseFunction(handle); }
};

}  // namespace kq
