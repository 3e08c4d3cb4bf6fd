// SPDX-License-Identifier: Apache-2.0
// Real named pipes for the transport tests: a fresh name per pipe, an overlapped server end
// as the broker creates it, and a plain blocking client end as a host would open it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "base/unique_handle_win.h"

using namespace tarnvel;

inline std::wstring FreshPipeName() {
  static LONG counter = 0;
  wchar_t name[96];
  swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\tarnvel-pipe-test-%lu-%ld", GetCurrentProcessId(),
           InterlockedIncrement(&counter));
  return name;
}

inline UniqueHandle CreateServerEnd(const std::wstring& name) {
  return UniqueHandle(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096, 0, nullptr));
}

inline UniqueHandle OpenClientEnd(const std::wstring& name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return UniqueHandle(CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// Blocking helpers for the client end.
inline bool WriteAll(HANDLE h, const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size != 0) {
    DWORD written = 0;
    if (!WriteFile(h, p, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

inline std::vector<uint8_t> ReadExactly(HANDLE h, size_t size) {
  std::vector<uint8_t> out(size);
  size_t got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(h, out.data() + got, static_cast<DWORD>(size - got), &n, nullptr) || n == 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

// One overlapped read on a server end, waited for: the bytes that arrived, or none when the
// pipe is broken.
inline std::vector<uint8_t> ServerRead(HANDLE server, size_t max) {
  std::vector<uint8_t> buf(max);
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  DWORD n = 0;
  BOOL ok = ReadFile(server, buf.data(), static_cast<DWORD>(max), &n, &ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(server, &ov, &n, TRUE);
  buf.resize(ok ? n : 0);
  return buf;
}
