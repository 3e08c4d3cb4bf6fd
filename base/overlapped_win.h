// SPDX-License-Identifier: Apache-2.0
// Overlapped I/O: the record of one operation with its own manual-reset event, and the one
// wait for such an operation that the broker's transport and the host's raw message layer
// share.
#pragma once
#include <windows.h>

#include "base/unique_handle_win.h"

namespace tarnvel {

// The record stays where it was made (the system holds its address while the operation is
// pending).
class OverlappedOperation {
 public:
  OverlappedOperation() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) { record_.hEvent = event_.get(); }
  OverlappedOperation(const OverlappedOperation&) = delete;
  OverlappedOperation& operator=(const OverlappedOperation&) = delete;

  // False when no event could be made; the operation must not start then.
  [[nodiscard]] bool valid() const { return event_.valid(); }
  OVERLAPPED& record() { return record_; }

 private:
  UniqueHandle event_;
  OVERLAPPED record_{};
};

// How a waited-for operation ended.
enum class OverlappedEnd {
  Completed,
  Failed,    // the operation failed; GetLastError says why
  TimedOut,  // the wait ended first (time-out or failed wait) and the operation was cancelled
};

// Waits at most `timeoutMs` (INFINITE: no bound) for the operation pending on `handle`
// with `record`, keeping the thread's window messages flowing if `pumpMessages`. An
// operation still under way when the wait ends is cancelled and its end awaited, so the
// record and its bytes are free again on every path; one that completed before the cancel
// took counts as completed. `transferred` holds what a completed operation moved, else 0.
[[nodiscard]] OverlappedEnd WaitForOverlapped(HANDLE handle, OVERLAPPED& record, DWORD timeoutMs, bool pumpMessages,
                                              DWORD& transferred);

}  // namespace tarnvel
