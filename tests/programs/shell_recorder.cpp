// SPDX-License-Identifier: Apache-2.0
// Stand-in shell handler: writes the argument it was started with (UTF-16, or "<none>"
// without one) to the file named by TARNVEL_SHELL_RECORD, via a temporary file and a
// rename so that a test never sees half a record.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "base/unique_handle_win.h"

using namespace tarnvel;

namespace {

struct LocalFreeTraits {
  using Type = LPWSTR*;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type p) { return p != nullptr; }
  static void Close(Type p) { LocalFree(p); }
};

}  // namespace

int main() {
  wchar_t recordPath[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableW(L"TARNVEL_SHELL_RECORD", recordPath, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return 2;

  int argc = 0;
  UniqueResource<LocalFreeTraits> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  std::wstring record = (argv && argc >= 2) ? std::wstring(argv.get()[1]) : std::wstring(L"<none>");

  std::wstring temporary = std::wstring(recordPath) + L".part";
  {
    UniqueHandle file(
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 3;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    if (!WriteFile(file.get(), record.data(), bytes, &written, nullptr) || written != bytes) return 4;
  }
  return MoveFileExW(temporary.c_str(), recordPath, MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}
