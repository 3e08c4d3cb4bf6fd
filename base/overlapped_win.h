// SPDX-License-Identifier: Apache-2.0
// The record of one overlapped operation with its own manual-reset event. It stays where it
// was made (the system holds its address while the operation is pending).
#pragma once
#include <windows.h>

#include "base/unique_handle_win.h"

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
