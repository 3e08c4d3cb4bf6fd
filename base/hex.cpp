// SPDX-License-Identifier: Apache-2.0
#include "base/hex.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

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

bool IsHexText(const char16_t* text, size_t units) {
  if (units % 2 != 0) return false;
  // Invalid digits are rare: collected in one flag instead of a branch per unit.
  unsigned bad = 0;
  for (size_t i = 0; i < units; ++i) {
    const unsigned c = text[i];
    bad |= (c >> 8) | (kDecode[c & 0xFF] & 0xF0);
  }
  return bad == 0;
}

void DecodeHexPairs(const char16_t* text, size_t pairs, uint8_t* out) {
  for (size_t i = 0; i < pairs; ++i, text += 2) {
    out[i] = static_cast<uint8_t>((kDecode[text[0] & 0xFF] << 4) | (kDecode[text[1] & 0xFF] & 0x0F));
  }
}

bool DecodeHex(const Text& text, std::vector<uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes(text.size() / 2);
  const char16_t* src = text.data();
  // One pass that decodes and checks together; the result is only handed over when the
  // whole text was valid.
  unsigned bad = 0;
  for (size_t i = 0; i < bytes.size(); ++i, src += 2) {
    const unsigned c0 = src[0];
    const unsigned c1 = src[1];
    const unsigned high = kDecode[c0 & 0xFF];
    const unsigned low = kDecode[c1 & 0xFF];
    bad |= ((c0 | c1) >> 8) | ((high | low) & 0xF0);
    bytes[i] = static_cast<uint8_t>((high << 4) | (low & 0x0F));
  }
  if (bad != 0) return false;
  out.swap(bytes);
  return true;
}
