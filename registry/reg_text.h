// SPDX-License-Identifier: Apache-2.0
// Text conversions of the registry operations: decimal numbers in and out, and the
// NUL-terminated list form of the listings. Pure.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"

// Base-10 signed conversion in the manner of the C library: leading white space, one
// optional sign, digits up to the first other character; no digits give 0; values beyond
// the range give the nearer limit.
int64_t ParseSigned64Decimal(const Text& text);
// Unsigned conversion in the same manner: '-' negates modulo 2^64; overflow gives UINT64_MAX.
uint64_t ParseUnsigned64Decimal(const Text& text);
// Unsigned decimal without sign or leading zeros.
Text FormatUnsignedDecimal(uint64_t value);
// Every element followed by one U+0000; no elements give the empty text.
Text JoinNulTerminated(const std::vector<Text>& items);
