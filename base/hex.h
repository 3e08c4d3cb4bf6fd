// SPDX-License-Identifier: Apache-2.0
// File contents cross the channel as hexadecimal text. Pure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "base/text.h"

// Two lower-case digits per byte, high nibble first.
Text EncodeHexLower(const uint8_t* bytes, size_t count);
// The same text as UTF-16LE bytes (4 per input byte) in `region`, whose first `count` bytes
// are the input itself: a reply's text is built where the file's bytes were read.
void ExpandHexUtf16LeInPlace(uint8_t* region, size_t count);
// Even length, digits 0-9 a-f A-F; false (out untouched) otherwise.
bool DecodeHex(const Text& text, std::vector<uint8_t>& out);
// Whether DecodeHex would accept these units.
bool IsHexText(const char16_t* text, size_t units);
// Decodes `pairs` digit pairs of a text that IsHexText accepted.
void DecodeHexPairs(const char16_t* text, size_t pairs, uint8_t* out);
