// SPDX-License-Identifier: Apache-2.0
#include "broker/hardening.h"

#include <windows.h>

namespace tarnvel::broker {

namespace {

// Looked up at run time: the first three calls need updates or versions that a target
// system may lack, and older SDK headers do not declare the mitigation policies.
constexpr DWORD SearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr int ExtensionPointDisablePolicy = 6;
constexpr int ImageLoadPolicy = 10;
constexpr DWORD DisableExtensionPoints = 1u << 0;
constexpr DWORD NoRemoteImages = 1u << 0;
constexpr DWORD NoLowMandatoryLabelImages = 1u << 1;

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
using SetProcessMitigationPolicyFn = BOOL(WINAPI*)(int, PVOID, SIZE_T);

template <typename Fn>
Fn Kernel32(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name)));
}

bool SetMitigation(SetProcessMitigationPolicyFn set, int policy, DWORD flags) {
  return set != nullptr && set(policy, &flags, sizeof flags) != FALSE;
}

}  // namespace

uint32_t ApplyStartupHardening() {
  uint32_t applied = 0;
  if (auto setDefault = Kernel32<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    if (setDefault(SearchSystem32)) applied |= DefaultDllDirectoriesSystem32;
  }
  // Takes the current folder out of the search order also where the call above is missing.
  if (SetDllDirectoryW(L"")) applied |= EmptyDllDirectory;
  if (HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0)) {
    applied |= HeapTerminationOnCorruption;
  }
  const auto setPolicy = Kernel32<SetProcessMitigationPolicyFn>("SetProcessMitigationPolicy");
  if (SetMitigation(setPolicy, ExtensionPointDisablePolicy, DisableExtensionPoints)) {
    applied |= ExtensionPointsDisabled;
  }
  if (SetMitigation(setPolicy, ImageLoadPolicy, NoRemoteImages | NoLowMandatoryLabelImages)) {
    applied |= ImageLoadRestricted;
  }
  return applied;
}

}  // namespace tarnvel::broker
