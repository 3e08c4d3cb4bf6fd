// SPDX-License-Identifier: Apache-2.0
#include "support/debug_capture.h"

#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include "base/debug_line.h"

using namespace tarnvel;
#endif

namespace {
std::mutex g_mutex;
std::vector<std::string>* g_lines = nullptr;

void Record(const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_lines) g_lines->push_back(text);
}

#ifdef _WIN32
constexpr DWORD kDbgPrintExceptionC = 0x40010006;
PVOID g_handler = nullptr;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* rec = info->ExceptionRecord;
  if (rec->ExceptionCode == kDbgPrintExceptionC && rec->NumberParameters >= 2) {
    const char* text = reinterpret_cast<const char*>(rec->ExceptionInformation[1]);
    size_t len = static_cast<size_t>(rec->ExceptionInformation[0]);
    std::string line(text, len > 0 ? len - 1 : 0);
    Record(line.c_str());
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
#endif
}  // namespace

DebugCapture::DebugCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines = new std::vector<std::string>();
#ifdef _WIN32
  g_handler = AddVectoredExceptionHandler(1, OnException);
#else
  SetDebugLineSink(Record);
#endif
}

DebugCapture::~DebugCapture() {
#ifdef _WIN32
  RemoveVectoredExceptionHandler(g_handler);
#else
  SetDebugLineSink(nullptr);
#endif
  std::lock_guard<std::mutex> lock(g_mutex);
  delete g_lines;
  g_lines = nullptr;
}

std::vector<std::string> DebugCapture::Lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines ? *g_lines : std::vector<std::string>();
}

void DebugCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_lines) g_lines->clear();
}
