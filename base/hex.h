// SPDX-License-Identifier: Apache-2.0
// File contents cross the channel as hexadecimal text. Pure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "base/text.h"

// Two lower-case digits per byte, high nibble first.
Text EncodeHexLower(const uint8_t* bytes, size_t count);
// Code units [firstUnit, firstUnit + units) of EncodeHexLower(bytes) as UTF-16LE bytes
// (2 per unit) into `out`: a large text is produced piece by piece, each where it is sent.
// `bytes` must hold the bytes those units come from.
void EncodeHexUtf16Le(const uint8_t* bytes, size_t firstUnit, size_t units, uint8_t* out);
// Even length, digits 0-9 a-f A-F; false (out untouched) otherwise.
bool DecodeHex(const Text& text, std::vector<uint8_t>& out);
// Whether DecodeHex would accept these units.
bool IsHexText(const char16_t* text, size_t units);
// Decodes `pairs` digit pairs of a text that IsHexText accepted.
void DecodeHexPairs(const char16_t* text, size_t pairs, uint8_t* out);
