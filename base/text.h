// SPDX-License-Identifier: Apache-2.0
// Texts of the broker: every path, key, value, name and reply text is UTF-16.
// Pure code uses Text (std::u16string) so that it builds and runs natively too;
// Win32 code converts at the call with the helpers of wide_text_win.h.
#pragma once
#include <string>

namespace tarnvel {

using Text = std::u16string;

// ASCII-only literal to Text, for fixed texts such as "pong".
inline Text AsciiText(const char* s) {
  Text out;
  for (; *s; ++s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
  return out;
}

}  // namespace tarnvel
