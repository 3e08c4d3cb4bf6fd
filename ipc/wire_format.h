// SPDX-License-Identifier: Apache-2.0
// The message format: 64-bit little-endian words.
//   header (magic, id, count, total words) | type words | TypeListEnd | data words | MessageEnd
// The encoder (ipc/encoder.h) builds one message in one word array; the decoder
// (ipc/decoder.h) reassembles one message at a time from a byte stream and rejects anything
// malformed. A message is judged by its own declared total only: the decoder never waits
// for, or reads, bytes beyond it. A payload that is still arriving is copied straight into
// its parameter's string as its bytes come in, so a large message is held once; it is
// judged, as every message, only once its declared total arrived.
// Both sides assume a little-endian host (every Windows target is one), so words and
// payloads are copied with memcpy rather than assembled byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>
#include "ipc/param.h"

// Compilers that know the host is big-endian stop here.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire format needs a little-endian host");
#endif

namespace tarnvel::ipc {

// An allocator whose resize leaves new words unwritten: the encoder writes every word of a
// message itself, and a large reply's payload would otherwise be zeroed only to be overwritten.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

constexpr uint32_t HeaderMagic = 0x4D4F524B;
constexpr uint32_t TypeListEnd = 0x4B524F4D;
constexpr uint32_t MessageEnd = 0x474E4142;
constexpr uint32_t String8Flag = 0x40000000;
constexpr uint32_t String16Flag = 0x80000000;
constexpr uint32_t MaxDeclaredCount = 100;
constexpr uint32_t MaxTotalWords = 0x800000;

// The words of a message being built, kept by an owner between messages.
using WordStorage = std::vector<uint64_t, UninitialisedAllocator<uint64_t>>;

// Whether a type code names a value (an integer of some kind, or a null of any family) rather
// than a payload.
inline bool IsValueCode(uint32_t code) { return code >= Int32Kind1 && code <= NullByteArray; }

}  // namespace tarnvel::ipc
