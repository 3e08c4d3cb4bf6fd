// SPDX-License-Identifier: Apache-2.0
#include "base/decimal.h"

#include <limits>

namespace tarnvel {

namespace {

// The C library's isspace set in the "C" locale; no locale is consulted.
bool IsCSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads white space, an optional sign and the decimal digits that follow. The magnitude
// saturates at UINT64_MAX with `overflow` set, so callers can apply their own limits.
struct DecimalScan {
  bool negative = false;
  bool overflow = false;
  uint64_t magnitude = 0;
};

DecimalScan ScanDecimal(const Text& text) {
  DecimalScan scan;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsCSpace(text[i])) ++i;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) {
    scan.negative = text[i] == u'-';
    ++i;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < n && IsDigit(text[i]); ++i) {
    if (scan.overflow) continue;
    const uint64_t digit = static_cast<uint64_t>(text[i] - u'0');
    if (scan.magnitude > (kMax - digit) / 10) {
      scan.overflow = true;
      scan.magnitude = kMax;
    } else {
      scan.magnitude = scan.magnitude * 10 + digit;
    }
  }
  return scan;
}

}  // namespace

int64_t ParseSigned64Decimal(const Text& text) {
  const DecimalScan scan = ScanDecimal(text);
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (!scan.negative) {
    return scan.magnitude > kMaxPositive ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(scan.magnitude);
  }
  if (scan.magnitude > kMaxPositive) return std::numeric_limits<int64_t>::min();
  return -static_cast<int64_t>(scan.magnitude);
}

uint64_t ParseUnsigned64Decimal(const Text& text) {
  const DecimalScan scan = ScanDecimal(text);
  if (scan.overflow) return std::numeric_limits<uint64_t>::max();
  return scan.negative ? (0 - scan.magnitude) : scan.magnitude;
}

bool ParseDecimalDigits(std::u16string_view digits, uint64_t max, uint64_t& out) {
  if (digits.empty()) return false;
  uint64_t value = 0;
  for (char16_t c : digits) {
    if (!IsDigit(c)) return false;
    const uint64_t digit = static_cast<uint64_t>(c - u'0');
    if (digit > max || value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

Text FormatUnsignedDecimal(uint64_t value) {
  constexpr size_t kMaxDigits = 20;  // 18446744073709551615
  char16_t digits[kMaxDigits];
  size_t first = kMaxDigits;
  do {
    digits[--first] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return Text(digits + first, kMaxDigits - first);
}

}  // namespace tarnvel
