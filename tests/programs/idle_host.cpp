// SPDX-License-Identifier: Apache-2.0
// Stands in for a host process whose life a test controls: it only waits, at most the
// given milliseconds (default 60000), so that a forgotten one cannot outlive the test run.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  DWORD ms = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 60000;
  Sleep(ms);
  return 0;
}
