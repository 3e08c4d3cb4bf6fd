// SPDX-License-Identifier: Apache-2.0
// RAII owners for Win32 handles: one small template over a traits type that names the
// handle type, its empty value and its close function.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <utility>

namespace tarnvel {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;
  UniqueResource() noexcept : value_(Traits::Empty()) {}
  explicit UniqueResource(Type v) noexcept : value_(v) {}
  UniqueResource(UniqueResource&& o) noexcept : value_(o.release()) {}
  UniqueResource& operator=(UniqueResource&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return Traits::IsValid(value_); }
  explicit operator bool() const noexcept { return valid(); }
  Type release() noexcept { return std::exchange(value_, Traits::Empty()); }
  // Keeps the thread's last error: a reset on a failure path must not hide why it failed.
  void reset(Type v = Traits::Empty()) noexcept {
    Type old = std::exchange(value_, v);
    if (Traits::IsValid(old)) {
      const DWORD error = ::GetLastError();
      Traits::Close(old);
      ::SetLastError(error);
    }
  }
  // For out-parameters of the API (RegOpenKeyExW and the like).
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_;
};

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  // Both conventions of "no handle" occur in the API; neither is ever closed.
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};

struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::InternetCloseHandle(h); }
};

// An event-log source from RegisterEventSourceW.
struct EventSourceTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::DeregisterEventSource(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueInternetHandle = UniqueResource<InternetHandleTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;

}  // namespace tarnvel
