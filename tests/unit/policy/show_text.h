// SPDX-License-Identifier: Apache-2.0
// Printable form of a Text for failure messages: ASCII as is, other code units as \uXXXX.
#pragma once
#include <cstdio>
#include <string>
#include "base/text.h"

using namespace tarnvel;

inline std::string ShowText(const Text& t) {
  std::string s;
  for (char16_t c : t) {
    if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      s += buf;
    }
  }
  return s;
}
