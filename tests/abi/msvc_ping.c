/* SPDX-License-Identifier: Apache-2.0 */
/* A host built for the MSVC ABI without MSVC and without a C runtime (clang for
 * *-pc-windows-msvc, lld-link, the shipped TarnvelHost.lib): it starts the default broker,
 * the TarnvelBroker.exe beside TarnvelHost.dll, pings it and exits with 0 when "pong" came back. The record layouts are
 * pinned here as this compiler sees them, so a difference from the DLL's shows at once. */
#include <stddef.h>

#include <tarnvel/host.h>

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size, unsigned long* written,
                                              void* overlapped);

#if defined(_WIN64)
_Static_assert(sizeof(tarnvel_options) == 80 && offsetof(tarnvel_options, onDebugLine) == 64, "options layout");
_Static_assert(sizeof(tarnvel_call) == 40 && offsetof(tarnvel_call, debugLines) == 16, "call layout");
#else
_Static_assert(sizeof(tarnvel_options) == 52 && offsetof(tarnvel_options, onDebugLine) == 44, "options layout");
_Static_assert(sizeof(tarnvel_call) == 28 && offsetof(tarnvel_call, debugLines) == 16, "call layout");
#endif

/* The compiler may call these for record initialisation; there is no runtime to bring them. */
void* memset(void* to, int value, size_t count) {
  volatile unsigned char* p = (volatile unsigned char*)to;
  while (count-- != 0) *p++ = (unsigned char)value;
  return to;
}

static void Say(const char* text) {
  unsigned long written = 0, n = 0;
  while (text[n] != '\0') ++n;
  WriteFile(GetStdHandle((unsigned long)-11), text, n, &written, 0);
}

void Start(void) {
  tarnvel_options options = {0};
  tarnvel_broker* broker = tarnvel_broker_create();
  wchar_t* text = 0;
  size_t length = 0;
  int32_t r;
  options.size = sizeof options;
  options.connectTimeoutMs = 10000;
  if (broker == 0 || tarnvel_broker_start(broker, &options) != TARNVEL_START_OK) {
    Say("msvc-abi: the broker did not start\n");
    ExitProcess(2);
  }
  r = tarnvel_ping(broker, 0, &text, &length);
  if (r != TARNVEL_OK || length != 4 || text[0] != L'p' || text[1] != L'o' || text[2] != L'n' || text[3] != L'g') {
    Say("msvc-abi: no pong\n");
    ExitProcess(1);
  }
  tarnvel_free(text);
  tarnvel_broker_destroy(broker);
  Say("msvc-abi: pong\n");
  ExitProcess(0);
}
