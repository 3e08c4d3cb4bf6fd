// SPDX-License-Identifier: Apache-2.0
#include "requests/shell_open_win.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "base/debug_line.h"
#include "base/wide_text_win.h"

namespace tarnvel::requests {

// The act opens exactly the judged text.
OpOutcome ShellOpen(const JudgedShellTarget& judged) {
  const Text& target = judged.target();

  // Some shell handlers are COM objects; the thread must be left in the apartment state it had.
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  // The broker has no window, so the program the shell starts must be allowed to come forward.
  AllowSetForegroundWindow(ASFW_ANY);
  const HINSTANCE result = ShellExecuteW(nullptr, L"open", WidePtr(target), nullptr, nullptr, SW_SHOWNORMAL);
  if (hr >= 0) CoUninitialize();

  const INT_PTR rc = reinterpret_cast<INT_PTR>(result);
  if (rc > 32) return OpOutcome{};

  char line[160];
  snprintf(line, sizeof line, "[TarnvelBroker] ShellExecuteW failed: rc=%d hrCoInit=0x%08lX\n",
           static_cast<int>(rc),  // the low 32 bits: shell results are small codes or fake handles
           static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  DebugLine(line);
  return OpOutcome{rc != 0 ? static_cast<int32_t>(rc) : ErrorNotEnoughMemory, OpStep::Act};
}

}  // namespace tarnvel::requests
