// SPDX-License-Identifier: Apache-2.0
// Creates, ahead of a broker, the names its next plug-in pipe may take: "ko.<pid>.<tick>.<n>"
// for every tick of the coming milliseconds, each with room for many instances, as a
// plug-in that guessed the name would. Arguments: broker pid, counter n, milliseconds
// (all decimal). Says "ready <count>" on its standard output, then holds the pipes until
// its standard input ends (at most 60 s), and then says "reached <count>": how many of its
// pipes a client connected to.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const unsigned long pid = std::strtoul(argv[1], nullptr, 10);
  const unsigned long counter = std::strtoul(argv[2], nullptr, 10);
  const DWORD span = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
  std::vector<HANDLE> pipes;
  const DWORD start = GetTickCount();
  for (DWORD t = start; t != start + span; ++t) {
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\ko.%lx.%lx.%lx", pid, static_cast<unsigned long>(t), counter);
    HANDLE h =
        CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) pipes.push_back(h);
  }
  std::printf("ready %u\n", static_cast<unsigned>(pipes.size()));
  std::fflush(stdout);
  // Until the test is done (its end of standard input closes), bounded all the same.
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const ULONGLONG deadline = GetTickCount64() + 60000;
  char c = 0;
  DWORD n = 0;
  while (GetTickCount64() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available != 0 && (!ReadFile(in, &c, 1, &n, nullptr) || n == 0)) break;
    Sleep(20);
  }
  // A client that came is still there (the peek works) or has left a broken pipe behind.
  unsigned reached = 0;
  for (HANDLE h : pipes) {
    if (PeekNamedPipe(h, nullptr, 0, nullptr, nullptr, nullptr) || GetLastError() == ERROR_BROKEN_PIPE) ++reached;
    CloseHandle(h);
  }
  std::printf("reached %u\n", reached);
  std::fflush(stdout);
  return 0;
}
