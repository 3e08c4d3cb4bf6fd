// SPDX-License-Identifier: Apache-2.0
#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "base/ascii.h"
#include "base/wide_text_win.h"
#include "requests/folders_win.h"

namespace tarnvel::requests {

namespace {

// Asked afresh every time so that a change of the user's folders applies at once.
Text KnownFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  // S_FALSE (a valid folder id whose folder does not exist) is a failure too.
  if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer) != S_OK) return Text();
  return FromWide(buffer, wcsnlen(buffer, MAX_PATH));
}

}  // namespace

Text AppDataFolder() { return KnownFolder(CSIDL_APPDATA); }

Text LocalTempFolder() {
  Text folder = KnownFolder(CSIDL_LOCAL_APPDATA);
  if (folder.empty()) return folder;
  return folder + u"\\Temp";
}

Text ExpandLongPath(const Text& path) {
  // A NUL would cut the folder part short at the system call, and the check would judge
  // a path the request never named: such a text stays as it is, for the check to refuse.
  if (path.empty() || HasNul(path)) return path;
  const size_t k = path.find_last_of(u"\\/");
  if (k == Text::npos || k == 0) return path;

  // Only the directory is resolved: the final component need not exist yet.
  const Text directory = path.substr(0, k);
  const DWORD needed = GetLongPathNameW(WidePtr(directory), nullptr, 0);
  if (needed == 0) return path;
  std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
  const DWORD written = GetLongPathNameW(WidePtr(directory), buffer.data(), needed + 1);
  if (written == 0 || written >= needed + 1) return path;
  return FromWide(buffer.data(), written) + path.substr(k);
}

}  // namespace tarnvel::requests
