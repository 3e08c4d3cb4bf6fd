// SPDX-License-Identifier: Apache-2.0
// ASCII-only text helpers shared by the policies: letter case folds for 'A'-'Z' alone, so
// no locale or Unicode table ever takes part in a judgement.
#pragma once
#include <cstddef>
#include <string_view>
#include "base/text.h"

namespace tarnvel {

inline char16_t AsciiFold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c; }

inline Text AsciiLower(Text t) {
  for (char16_t& c : t) c = AsciiFold(c);
  return t;
}

inline bool StartsWith(std::u16string_view t, std::u16string_view prefix) {
  return t.size() >= prefix.size() && t.substr(0, prefix.size()) == prefix;
}

inline bool HasNul(std::u16string_view t) { return t.find(char16_t(0)) != std::u16string_view::npos; }

inline bool IsPathSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

inline bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// One of a table's literal texts, compared unit by unit.
template <size_t N>
bool InTable(std::u16string_view x, const std::u16string_view (&table)[N]) {
  for (std::u16string_view e : table) {
    if (x == e) return true;
  }
  return false;
}

}  // namespace tarnvel
