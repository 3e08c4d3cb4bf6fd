// SPDX-License-Identifier: Apache-2.0
// Conversions between Text and the wide strings of the Win32 API (both UTF-16 on Windows).
#pragma once
#include <windows.h>
#include <string>
#include "base/text.h"

namespace tarnvel {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide strings are UTF-16");

inline const wchar_t* WidePtr(const Text& t) { return reinterpret_cast<const wchar_t*>(t.c_str()); }
inline Text FromWide(const wchar_t* p, size_t n) { return Text(reinterpret_cast<const char16_t*>(p), n); }
inline Text FromWide(const wchar_t* p) { return p ? FromWide(p, wcslen(p)) : Text(); }
inline Text FromWide(const std::wstring& s) { return FromWide(s.data(), s.size()); }
inline std::wstring ToWide(const Text& t) { return std::wstring(reinterpret_cast<const wchar_t*>(t.data()), t.size()); }

}  // namespace tarnvel
