// SPDX-License-Identifier: Apache-2.0
#include "base/debug_line.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarnvel {

namespace {
std::atomic<DebugLineSink> g_sink{nullptr};
}

void DebugLine(const char* text) {
#ifdef _WIN32
  OutputDebugStringA(text);
#endif
  if (DebugLineSink sink = g_sink.load()) sink(text);
}

void SetDebugLineSink(DebugLineSink sink) { g_sink.store(sink); }

}  // namespace tarnvel
