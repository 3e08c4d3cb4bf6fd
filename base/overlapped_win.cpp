// SPDX-License-Identifier: Apache-2.0
#include "base/overlapped_win.h"

#include "base/message_wait_win.h"

namespace tarnvel {

OverlappedEnd WaitForOverlapped(HANDLE handle, OVERLAPPED& record, DWORD timeoutMs, bool pumpMessages,
                                DWORD& transferred) {
  transferred = 0;
  const bool signalled = pumpMessages ? WaitPumpingMessages(&record.hEvent, 1, timeoutMs) == 0
                                      : WaitForSingleObject(record.hEvent, timeoutMs) == WAIT_OBJECT_0;
  if (signalled)
    return GetOverlappedResult(handle, &record, &transferred, FALSE) ? OverlappedEnd::Completed : OverlappedEnd::Failed;
  CancelIoEx(handle, &record);
  if (GetOverlappedResult(handle, &record, &transferred, TRUE)) return OverlappedEnd::Completed;
  transferred = 0;
  return GetLastError() == ERROR_OPERATION_ABORTED ? OverlappedEnd::TimedOut : OverlappedEnd::Failed;
}

}  // namespace tarnvel
