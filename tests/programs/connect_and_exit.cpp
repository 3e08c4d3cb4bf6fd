// SPDX-License-Identifier: Apache-2.0
// A host that connects to the broker pipe \\.\pipe\<name> and ends at once, the moment its
// CreateFileW succeeds. Exit code 0 once it connected, 2 when no pipe accepted it in 10 s.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string name(argv[1]);
  const std::wstring path = L"\\\\.\\pipe\\" + std::wstring(name.begin(), name.end());
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (GetTickCount64() < deadline) {
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) ExitProcess(0);  // the handle closes with the process
    Sleep(1);
  }
  return 2;
}
