// SPDX-License-Identifier: Apache-2.0
// A broker that misbehaves on purpose, so that tests can see tarnvel-host notice it.
// Started like the broker (" --ipc=<name> --proc=<pid>"); the environment variable
// TARNVEL_ROGUE_MODE says what it does with the first request it reads:
//   wrong-id  answers with a well-formed message of id 9
//   garbage   answers with 32 bytes that are not a message
//   close     closes the pipe without answering
//   silent    never answers (until the host goes away)
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_handle_win.h"

using namespace tarnvel;

namespace {

std::wstring PipeName() {
  std::wstring line = GetCommandLineW();
  size_t ipc = line.find(L" --ipc=");
  if (ipc == std::wstring::npos) return L"";
  size_t start = ipc + 7;
  size_t proc = line.find(L" --proc=", start);
  return L"\\\\.\\pipe\\" + line.substr(start, proc == std::wstring::npos ? std::wstring::npos : proc - start);
}

bool WriteAll(HANDLE h, const void* data, DWORD size) {
  DWORD n = 0;
  return WriteFile(h, data, size, &n, nullptr) && n == size;
}

}  // namespace

int main() {
  wchar_t mode[32] = {};
  GetEnvironmentVariableW(L"TARNVEL_ROGUE_MODE", mode, 32);
  std::wstring name = PipeName();
  if (name.empty()) return 1;
  UniqueHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     1, 4096, 4096, 2000, nullptr));
  if (!pipe.valid()) return 1;
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;

  uint8_t buffer[4096];
  DWORD got = 0;
  if (!ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr)) return 0;

  const std::wstring m = mode;
  if (m == L"wrong-id") {
    // Id 9 with an Int32Kind2 0 and an empty String16: 10 words.
    const uint64_t words[] = {0x4D4F524B, 9, 2, 10, 2, 0xFFFFFFFF80000019ull, 0x4B524F4D, 0, 0, 0x474E4142};
    WriteAll(pipe.get(), words, sizeof words);
  } else if (m == L"garbage") {
    const uint64_t words[] = {0x1111111111111111ull, 7, 2, 10};
    WriteAll(pipe.get(), words, sizeof words);
  } else if (m == L"close") {
    return 0;
  }
  // Stay until the host closes its end.
  while (ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr)) {
  }
  // A broker that outlives its host's pipe, for the host's shutdown time-out.
  if (m == L"linger") Sleep(60000);
  return 0;
}
