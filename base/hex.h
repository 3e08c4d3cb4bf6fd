// SPDX-License-Identifier: Apache-2.0
// File contents cross the channel as hexadecimal text. Pure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "base/text.h"

namespace tarnvel {

// Two lower-case digits per byte, high nibble first.
Text EncodeHexLower(const uint8_t* bytes, size_t count);
// Code units [firstUnit, firstUnit + units) of EncodeHexLower(bytes) as UTF-16LE bytes
// (2 per unit) into `out`: a large text is produced piece by piece, each where it is sent.
// `bytes` must hold the bytes those units come from.
void EncodeHexUtf16Le(const uint8_t* bytes, size_t firstUnit, size_t units, uint8_t* out);
// Even length, digits 0-9 a-f A-F; false (out untouched) otherwise.
bool DecodeHex(const Text& text, std::vector<uint8_t>& out);

// What a hexadecimal text spells: its bytes, when the whole text was digit pairs.
struct DecodedHex {
  bool wellFormed = true;
  std::vector<uint8_t> bytes;  // empty unless wellFormed
};

// A hexadecimal text decoded as it arrives, in pieces of any size: a piece may end between
// a pair's digits or, as UTF-16LE bytes, inside a code unit. Only the bytes it spells are
// held (a quarter of the text's memory as UTF-16), and the first unit that is no digit
// gives them back. Accepts exactly what DecodeHex accepts.
class HexStream {
 public:
  // `units`: the text's length, when known, so that the bytes' memory is set aside once.
  // It is touched only as digits arrive, StepBytes at a time.
  explicit HexStream(uint64_t units = 0);
  void Append(const char16_t* units, size_t count);
  void AppendUtf16Le(const uint8_t* bytes, size_t count);
  // A text that ended inside a unit or a pair is not well formed.
  DecodedHex Finish();

  // Touching a step's memory at once was measured to cost several times less than a page
  // at a time between two pipe reads.
  static constexpr size_t StepBytes = 65536;

 private:
  // `wide`: the same units as UTF-16LE bytes, for the wide path where the machine has one.
  template <class UnitAt>
  void Decode(size_t units, UnitAt unitAt, const uint8_t* wide);
  void Digit(unsigned unit);
  uint8_t* Room(size_t bytes);
  void Spoil();

  DecodedHex out_;
  size_t filled_ = 0;    // bytes decoded; out_.bytes is longer by the step ahead
  size_t expected_ = 0;  // the bytes the declared length spells
  unsigned high_ = 0;    // a pair's first digit, while its second is to come
  bool hasHigh_ = false;
  uint8_t oddByte_ = 0;  // a unit's first byte, while its second is to come
  bool hasOddByte_ = false;
};

}  // namespace tarnvel
