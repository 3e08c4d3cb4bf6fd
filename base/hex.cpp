// SPDX-License-Identifier: Apache-2.0
#include "base/hex.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace tarnvel {

namespace {

// Both tables are built at compile time: no start-up code, nothing to destroy at exit.
struct EncodeTable {
  char16_t pairs[256][2];
  uint32_t utf16le[256];  // both digits as the four bytes they take on the wire
};

constexpr EncodeTable MakeEncodeTable() {
  constexpr char kDigits[] = "0123456789abcdef";
  EncodeTable t{};
  for (int b = 0; b < 256; ++b) {
    t.pairs[b][0] = static_cast<char16_t>(kDigits[b >> 4]);
    t.pairs[b][1] = static_cast<char16_t>(kDigits[b & 0xF]);
    t.utf16le[b] = static_cast<uint32_t>(kDigits[b >> 4]) | static_cast<uint32_t>(kDigits[b & 0xF]) << 16;
  }
  return t;
}

constexpr uint8_t kBad = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kBad;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}

constexpr EncodeTable kEncode = MakeEncodeTable();
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

Text EncodeHexLower(const uint8_t* bytes, size_t count) {
  // Two units a byte: checked in 64 bits, so that a 32-bit build never wraps to a short text.
  if (static_cast<uint64_t>(count) * 2 > Text().max_size()) throw std::length_error("hex text too long");
  Text out(count * 2, u'\0');
  char16_t* dst = &out[0];
  for (size_t i = 0; i < count; ++i) {
    const char16_t* pair = kEncode.pairs[bytes[i]];
    dst[0] = pair[0];
    dst[1] = pair[1];
    dst += 2;
  }
  return out;
}

void EncodeHexUtf16Le(const uint8_t* bytes, size_t firstUnit, size_t units, uint8_t* out) {
  if (units == 0) return;
  const uint8_t* byte = bytes + firstUnit / 2;
  // A piece may start on a byte's low digit and end on a byte's high digit.
  if (firstUnit % 2 != 0) {
    const char16_t low = kEncode.pairs[*byte++][1];
    out[0] = static_cast<uint8_t>(low);
    out[1] = 0;
    out += 2;
    --units;
  }
  // The words are little-endian on every Windows target, as the wire format assumes.
  const size_t pairs = units / 2;
  for (size_t i = 0; i < pairs; ++i) std::memcpy(out + 4 * i, &kEncode.utf16le[byte[i]], 4);
  if (units % 2 != 0) {
    const char16_t high = kEncode.pairs[byte[pairs]][0];
    out[4 * pairs] = static_cast<uint8_t>(high);
    out[4 * pairs + 1] = 0;
  }
}

bool DecodeHex(const Text& text, std::vector<uint8_t>& out) {
  HexStream stream(text.size());
  stream.Append(text.data(), text.size());
  DecodedHex decoded = stream.Finish();
  if (!decoded.wellFormed) return false;
  out.swap(decoded.bytes);
  return true;
}

HexStream::HexStream(uint64_t units) {
  // Bounded by what the vector can hold, so a 32-bit build never wraps the size.
  if (units / 2 <= out_.bytes.max_size()) expected_ = static_cast<size_t>(units / 2);
  out_.bytes.reserve(expected_);
}

uint8_t* HexStream::Room(size_t bytes) {
  const size_t end = filled_ + bytes;
  if (end > out_.bytes.size()) {
    // A step ahead, never past the declared length unless more than that arrives.
    const size_t stepped = (end / StepBytes + 1) * StepBytes;
    out_.bytes.resize(end <= expected_ ? std::min(stepped, expected_) : std::max(end, stepped));
  }
  return out_.bytes.data() + filled_;
}

void HexStream::Spoil() {
  out_.wellFormed = false;
  std::vector<uint8_t>().swap(out_.bytes);
  filled_ = 0;
}

void HexStream::Digit(unsigned unit) {
  const unsigned value = kDecode[unit & 0xFF];
  if ((unit >> 8) != 0 || (value & 0xF0) != 0) return Spoil();
  if (!hasHigh_) {
    high_ = value;
    hasHigh_ = true;
    return;
  }
  *Room(1) = static_cast<uint8_t>((high_ << 4) | value);
  ++filled_;
  hasHigh_ = false;
}

// Whole pairs in one pass that decodes and checks together (invalid digits are rare: one
// flag instead of a branch per unit); a pair split across pieces goes a digit at a time.
template <class UnitAt>
void HexStream::Decode(size_t units, UnitAt unitAt) {
  size_t at = 0;
  if (hasHigh_ && units != 0) Digit(unitAt(at++));
  if (!out_.wellFormed) return;
  const size_t pairs = (units - at) / 2;
  uint8_t* dst = Room(pairs);
  unsigned bad = 0;
  for (size_t i = 0; i < pairs; ++i, at += 2) {
    const unsigned c0 = unitAt(at);
    const unsigned c1 = unitAt(at + 1);
    const unsigned high = kDecode[c0 & 0xFF];
    const unsigned low = kDecode[c1 & 0xFF];
    bad |= ((c0 | c1) >> 8) | ((high | low) & 0xF0);
    dst[i] = static_cast<uint8_t>((high << 4) | (low & 0x0F));
  }
  filled_ += pairs;
  if (bad != 0) return Spoil();
  if (at < units) Digit(unitAt(at));
}

void HexStream::Append(const char16_t* units, size_t count) {
  if (!out_.wellFormed) return;
  Decode(count, [units](size_t i) { return static_cast<unsigned>(units[i]); });
}

void HexStream::AppendUtf16Le(const uint8_t* bytes, size_t count) {
  if (!out_.wellFormed || count == 0) return;
  if (hasOddByte_) {
    hasOddByte_ = false;
    Digit(oddByte_ | static_cast<unsigned>(bytes[0]) << 8);
    ++bytes;
    --count;
    if (!out_.wellFormed) return;
  }
  Decode(count / 2, [bytes](size_t i) { return bytes[2 * i] | static_cast<unsigned>(bytes[2 * i + 1]) << 8; });
  if (count % 2 != 0 && out_.wellFormed) {
    oddByte_ = bytes[count - 1];
    hasOddByte_ = true;
  }
}

DecodedHex HexStream::Finish() {
  if (hasHigh_ || hasOddByte_) Spoil();
  if (out_.wellFormed) out_.bytes.resize(filled_);
  DecodedHex done = std::move(out_);
  out_ = DecodedHex();
  filled_ = 0;
  hasHigh_ = hasOddByte_ = false;
  return done;
}

}  // namespace tarnvel
