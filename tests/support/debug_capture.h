// SPDX-License-Identifier: Apache-2.0
// Captures the debugger lines written in this process while an instance lives.
// Windows: a vectored exception handler for DBG_PRINTEXCEPTION_C; native: the DebugLine sink.
#pragma once
#include <string>
#include <vector>

class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Lines() const;
  void Clear();
};
