// SPDX-License-Identifier: Apache-2.0
// One typed message parameter (Param) and one decoded message (ParamList).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include "base/hex.h"
#include "base/text.h"

namespace tarnvel::ipc {

enum ParamType : int32_t {
  Int32Kind1 = 1,
  Int32Kind2 = 2,
  Int32Kind3 = 3,
  Int32Kind4 = 4,
  Char8 = 5,
  Char16 = 6,
  PointerSized = 7,
  NullString8 = 8,
  NullString16 = 9,
  NullByteArray = 10,
  CString8 = 22,
  String8 = 23,
  CString16 = 24,
  String16 = 25,
  ByteArray = 26,
};

// Width of a code-7 payload: the handle width of the build that speaks the format.
enum class PointerWidth { Bits32 = 32, Bits64 = 64 };
constexpr PointerWidth NativePointerWidth = sizeof(void*) == 8 ? PointerWidth::Bits64 : PointerWidth::Bits32;

struct Param {
  // Pointer-sized in the format; held as 64 bits so that both widths are testable
  // natively. Codes 1-4: the 32-bit value sign-extended; 5, 6: zero-extended; 8-10: -1.
  int64_t value = 0;
  std::string string8;  // codes 22, 23, 26
  Text string16;        // codes 24, 25
  int32_t type = 0;     // without flag bits
  // A code-25 text the receiver asked to hold as the bytes its hexadecimal digits spell
  // (the protocol table says which): set only then, and string16 stays empty.
  std::optional<DecodedHex> hex;

  static Param Int32(int32_t v, ParamType kind = Int32Kind2);  // kind 1 to 4
  static Param Char8Value(uint8_t v);
  static Param Char16Value(char16_t v);
  static Param Pointer(int64_t v);
  static Param Null(ParamType kind);                                // 8, 9 or 10
  static Param Bytes(std::string bytes, ParamType kind = String8);  // 22, 23, 26
  static Param Text16(Text text, ParamType kind = String16);        // 24, 25
};

struct ParamList {
  static constexpr uint32_t MaxParams = 20;
  int32_t id = -1;
  uint32_t count = 0;
  Param params[MaxParams + 1];

  // Refused (false, list unchanged) when all slots are taken.
  bool Add(Param&& p);
  void Clear();
};

}  // namespace tarnvel::ipc
