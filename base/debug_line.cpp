// SPDX-License-Identifier: Apache-2.0
#include "base/debug_line.h"

#ifdef _WIN32
#include <windows.h>

void DebugLine(const char* text) { OutputDebugStringA(text); }

#else
#include <atomic>

namespace {
std::atomic<DebugLineSink> g_sink{nullptr};
}

void DebugLine(const char* text) {
  if (DebugLineSink sink = g_sink.load()) sink(text);
}

void SetDebugLineSink(DebugLineSink sink) { g_sink.store(sink); }
#endif
