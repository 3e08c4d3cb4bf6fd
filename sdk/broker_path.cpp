// SPDX-License-Identifier: Apache-2.0
#include "sdk/broker_path.h"

namespace tarnvel::sdk {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool ResolveBrokerPath(const std::wstring& moduleFolder, const std::wstring& given, std::wstring& out) {
  out.clear();
  const std::wstring path = given.empty() ? std::wstring(DefaultBrokerName) : given;
  if (path.find(L'\0') != std::wstring::npos) return false;
  const bool drive = path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':';
  if (drive) {
    // "C:x" is relative to drive C's own current directory.
    if (path.size() < 3 || !IsSeparator(path[2])) return false;
    out = path;
    return true;
  }
  if (IsSeparator(path[0])) {
    // Two separators begin a UNC or device path; one alone means the current drive's root.
    if (path.size() < 2 || !IsSeparator(path[1])) return false;
    out = path;
    return true;
  }
  std::wstring folder = moduleFolder;
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  if (folder.empty()) return false;
  out = folder + L"\\" + path;
  return true;
}

}  // namespace tarnvel::sdk
