// SPDX-License-Identifier: Apache-2.0
#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "requests/folders_win.h"

namespace tarnvel::requests {

namespace {

Text AskShell(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  // S_FALSE (a valid folder id whose folder does not exist) is a failure too.
  if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer) != S_OK) return Text();
  return FromWide(buffer, wcsnlen(buffer, MAX_PATH));
}

bool IsFolder(const Text& path) {
  const DWORD attributes = GetFileAttributesW(WidePtr(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Text KnownFolder(int csidl) {
  // Never destroyed: a request may still be served while the process exits.
  static KnownFolders* folders =
      new KnownFolders(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", AskShell);
  return folders->Get(csidl);
}

}  // namespace

Text KnownFolders::Get(int csidl) {
  std::lock_guard<std::mutex> lock(mutex_);
  Known& known = csidl == CSIDL_APPDATA ? appData_ : localAppData_;
  if (MayHaveChanged()) appData_.kept = localAppData_.kept = false;
  if (known.kept) return IsFolder(known.path) ? known.path : Text();
  known.path = ask_(csidl);
  known.kept = watching_ && !known.path.empty();
  return known.path;
}

// Arms the watch anew before the folders are asked for, so that no change slips between.
bool KnownFolders::MayHaveChanged() {
  if (watching_ && WaitForSingleObject(changed_.get(), 0) == WAIT_TIMEOUT) return false;
  watching_ = Watch();
  return true;
}

// The key's values and subkeys, and its parent's subkeys (the key deleted or made again,
// which not every system reports on the key itself). Either also signals when the thread that
// armed it ends.
bool KnownFolders::Watch() {
  if (!changed_) changed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!changed_ || !ResetEvent(changed_.get())) return false;
  const std::wstring key = watchedKey_;
  const size_t slash = key.rfind(L'\\');
  if (slash == std::wstring::npos) return false;
  // Opened afresh: a key deleted and made again is another key.
  parent_.reset();
  key_.reset();
  return RegOpenKeyExW(HKEY_CURRENT_USER, key.substr(0, slash).c_str(), 0, KEY_NOTIFY, parent_.put()) ==
             ERROR_SUCCESS &&
         RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_NOTIFY, key_.put()) == ERROR_SUCCESS &&
         RegNotifyChangeKeyValue(parent_.get(), FALSE, REG_NOTIFY_CHANGE_NAME, changed_.get(), TRUE) == ERROR_SUCCESS &&
         RegNotifyChangeKeyValue(key_.get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed_.get(),
                                 TRUE) == ERROR_SUCCESS;
}

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
