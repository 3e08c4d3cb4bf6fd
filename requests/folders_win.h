// SPDX-License-Identifier: Apache-2.0
// What the path judgements need from the system. Each answer is as of the request that asks.
#pragma once
#include <windows.h>

#include <mutex>

#include "base/text.h"
#include "base/unique_handle_win.h"

namespace tarnvel::requests {

// The user's roaming and local application-data folders (CSIDL_APPDATA and
// CSIDL_LOCAL_APPDATA; any other id counts as the latter). A change of them applies at the
// next request: they are asked for again whenever the key where the user's folders are set
// changed, and whether a folder exists is asked every time, as the shell itself does. Asking
// the shell for every request cost 0.4 ms under Wine, most of a small data-file request.
// Where the key cannot be watched, they are asked for every time. Empty on failure.
class KnownFolders {
 public:
  KnownFolders(const wchar_t* watchedKey, Text (*ask)(int csidl)) : watchedKey_(watchedKey), ask_(ask) {}
  KnownFolders(const KnownFolders&) = delete;
  KnownFolders& operator=(const KnownFolders&) = delete;
  Text Get(int csidl);

 private:
  struct Known {
    Text path;
    bool kept = false;
  };
  bool MayHaveChanged();
  bool Watch();

  const wchar_t* watchedKey_;  // below HKEY_CURRENT_USER
  Text (*ask_)(int csidl);
  std::mutex mutex_;
  UniqueHandle changed_;
  UniqueRegKey parent_;
  UniqueRegKey key_;
  bool watching_ = false;
  Known appData_;
  Known localAppData_;
};

// Empty on failure.
Text AppDataFolder();
Text LocalTempFolder();
// Short (8.3) directory names become long ones; the last component is kept as is.
Text ExpandLongPath(const Text& path);

}  // namespace tarnvel::requests
