// SPDX-License-Identifier: Apache-2.0
// Decimal numbers as texts, the one conversion every folder uses. Pure.
#pragma once
#include <cstdint>
#include <string_view>
#include "base/text.h"

namespace tarnvel {

// Base-10 signed conversion in the manner of the C library: leading white space, one
// optional sign, digits up to the first other character; no digits give 0; values beyond
// the range give the nearer limit. The broker reads the numbers of its write requests so.
int64_t ParseSigned64Decimal(const Text& text);
// Unsigned conversion in the same manner: '-' negates modulo 2^64; overflow gives UINT64_MAX.
uint64_t ParseUnsigned64Decimal(const Text& text);
// Strict: one or more digits '0'-'9' and nothing else, whose value is at most `max`.
// False (out untouched) for anything else. For texts that must be exactly a number.
bool ParseDecimalDigits(std::u16string_view digits, uint64_t max, uint64_t& out);
// Unsigned decimal without sign or leading zeros.
Text FormatUnsignedDecimal(uint64_t value);

}  // namespace tarnvel
