// SPDX-License-Identifier: Apache-2.0
#include "base/message_wait_win.h"

namespace tarnvel {

namespace {

// QS_ALLINPUT as the current SDK defines it (raw, touch and pointer input included).
constexpr DWORD AllInputWakeMask = 0x1CFF;
// The same without the touch and pointer bits, which systems before Windows 8 refuse.
constexpr DWORD LegacyAllInputWakeMask = 0x04FF;

void DispatchPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

int WaitPumpingMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
  DWORD mask = AllInputWakeMask;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    // Messages dispatched meanwhile do not lengthen the wait.
    DWORD left = INFINITE;
    if (timeoutMs != INFINITE) {
      const ULONGLONG now = GetTickCount64();
      left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    const DWORD r = MsgWaitForMultipleObjects(count, handles, FALSE, left, mask);
    if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    if (r == WAIT_TIMEOUT) return WaitTimedOut;
    if (r == WAIT_OBJECT_0 + count) {
      DispatchPendingMessages();
      continue;
    }
    if (r == WAIT_FAILED && mask != LegacyAllInputWakeMask && GetLastError() == ERROR_INVALID_PARAMETER) {
      mask = LegacyAllInputWakeMask;
      continue;
    }
    return WaitFailed;
  }
}

}  // namespace tarnvel
