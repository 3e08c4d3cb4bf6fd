// File contents cross the channel as hexadecimal text. Pure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "base/text.h"

// Two lower-case digits per byte, high nibble first.
Text EncodeHexLower(const uint8_t* bytes, size_t count);
// Even length, digits 0-9 a-f A-F; false (out untouched) otherwise.
bool DecodeHex(const Text& text, std::vector<uint8_t>& out);
