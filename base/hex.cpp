// SPDX-License-Identifier: Apache-2.0
#include "base/hex.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

// Every x64 target has SSE2; a 32-bit build only when it is asked for.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TARNVEL_HEX_SSE2 1
#endif

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

#ifdef TARNVEL_HEX_SSE2
// The values of 16 digits, one a byte; `bad` gains a set byte for each that is no digit.
// A unit above 0xFF arrives packed as 0x00 or 0xFF, neither of them a digit.
inline __m128i DigitValues(__m128i c, __m128i& bad) {
  const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  // Upper and lower case alike: A-F and a-f differ from each other only in 0x20.
  const __m128i l = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
  bad = _mm_or_si128(bad, _mm_andnot_si128(_mm_or_si128(isDigit, isLetter), _mm_set1_epi8(-1)));
  return _mm_or_si128(_mm_and_si128(isDigit, d), _mm_and_si128(isLetter, _mm_add_epi8(l, _mm_set1_epi8(10))));
}

// Eight bytes from the values of 16 digits: each pair's first digit is the high nibble.
inline __m128i PairBytes(__m128i values) {
  const __m128i high = _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4);
  return _mm_or_si128(high, _mm_srli_epi16(values, 8));
}
#endif

// Leading pairs of digits as UTF-16LE (4 bytes a pair), 16 at a time: the whole texts of a
// large request go through here. Returns how many pairs it wrote into `out`; `bad` becomes
// non-zero when any of them was no pair of digits. The rest is left to the caller, as is all
// of it where the machine has no SSE2.
#ifdef TARNVEL_HEX_SSE2
size_t DecodeWidePairs(const uint8_t* in, size_t pairs, uint8_t* out, unsigned& bad) {
  __m128i wrong = _mm_setzero_si128();
  size_t done = 0;
  for (; done + 16 <= pairs; done += 16) {
    const __m128i* v = reinterpret_cast<const __m128i*>(in + 4 * done);
    const __m128i first = _mm_packus_epi16(_mm_loadu_si128(v), _mm_loadu_si128(v + 1));
    const __m128i second = _mm_packus_epi16(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3));
    const __m128i bytes = _mm_packus_epi16(PairBytes(DigitValues(first, wrong)), PairBytes(DigitValues(second, wrong)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), bytes);
  }
  bad |= static_cast<unsigned>(_mm_movemask_epi8(wrong));
  return done;
}
#else
size_t DecodeWidePairs(const uint8_t*, size_t, uint8_t*, unsigned&) { return 0; }
#endif

// Leading whole bytes as the UTF-16LE of their digits (4 bytes a byte), 16 at a time: a
// large read's reply goes through here. Returns how many bytes it encoded; the rest is
// left to the caller, as is all of it where the machine has no SSE2.
#ifdef TARNVEL_HEX_SSE2
size_t EncodeWideBytes(const uint8_t* in, size_t count, uint8_t* out) {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  // '0' + n, and 'a' - '0' - 10 more for n above 9.
  const auto digits = [](__m128i n) {
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letter);
  };
  const __m128i zero = _mm_setzero_si128();
  size_t done = 0;
  for (; done + 16 <= count; done += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i high = digits(_mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
    const __m128i low = digits(_mm_and_si128(bytes, nibble));
    const __m128i first = _mm_unpacklo_epi8(high, low);  // the digits of bytes 0 to 7, in order
    const __m128i second = _mm_unpackhi_epi8(high, low);
    __m128i* units = reinterpret_cast<__m128i*>(out + 4 * done);
    _mm_storeu_si128(units, _mm_unpacklo_epi8(first, zero));
    _mm_storeu_si128(units + 1, _mm_unpackhi_epi8(first, zero));
    _mm_storeu_si128(units + 2, _mm_unpacklo_epi8(second, zero));
    _mm_storeu_si128(units + 3, _mm_unpackhi_epi8(second, zero));
  }
  return done;
}
#else
size_t EncodeWideBytes(const uint8_t*, size_t, uint8_t*) { return 0; }
#endif

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
  for (size_t i = EncodeWideBytes(byte, pairs, out); i < pairs; ++i)
    std::memcpy(out + 4 * i, &kEncode.utf16le[byte[i]], 4);
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
void HexStream::Decode(size_t units, UnitAt unitAt, const uint8_t* wide) {
  size_t at = 0;
  if (hasHigh_ && units != 0) Digit(unitAt(at++));
  if (!out_.wellFormed) return;
  const size_t pairs = (units - at) / 2;
  uint8_t* dst = Room(pairs);
  unsigned bad = 0;
  size_t i = wide != nullptr ? DecodeWidePairs(wide + 2 * at, pairs, dst, bad) : 0;
  at += 2 * i;
  for (; i < pairs; ++i, at += 2) {
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
  // char16_t units lie in memory as UTF-16LE on every little-endian machine, SSE2's among them.
  Decode(
      count, [units](size_t i) { return static_cast<unsigned>(units[i]); }, reinterpret_cast<const uint8_t*>(units));
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
  Decode(
      count / 2, [bytes](size_t i) { return bytes[2 * i] | static_cast<unsigned>(bytes[2 * i + 1]) << 8; }, bytes);
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
