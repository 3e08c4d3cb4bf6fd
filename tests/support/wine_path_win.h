// SPDX-License-Identifier: Apache-2.0
// Where the tests, the benchmarks and the fault layer find build outputs from inside Wine.
#pragma once
#include <windows.h>

#include <algorithm>
#include <string>

// "Z:\..." for a Unix path, so that Windows programs under Wine find build outputs; a path
// that is already a Windows one (a drive letter, as an MSVC build writes it) only gets
// backslashes.
inline std::wstring WinePathFromUnix(const std::string& unixPath) {
  std::wstring out = !unixPath.empty() && unixPath[0] == '/' ? L"Z:" : L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), &wide[0], n);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return out + wide;
}
