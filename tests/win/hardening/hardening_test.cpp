// SPDX-License-Identifier: Apache-2.0
// Start-up hardening as far as Wine lets it be observed: which steps the system took, and
// their visible effect on the DLL search.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "broker/hardening.h"

using namespace tarnvel;

using namespace tarnvel::broker;

namespace {

TEST(StartupHardening, DllSearchLeavesTheCurrentFolderAndStepsAreReported) {
  wchar_t before[MAX_PATH] = L"unchanged";
  SetDllDirectoryW(L"Z:\\");
  ASSERT_GT(GetDllDirectoryW(MAX_PATH, before), 0u);

  const uint32_t applied = ApplyStartupHardening();
  ::testing::Test::RecordProperty("applied", static_cast<int>(applied));
  std::printf("hardening steps taken: 0x%02x\n", static_cast<unsigned>(applied));

  EXPECT_TRUE(applied & EmptyDllDirectory);
  wchar_t after[MAX_PATH] = L"x";
  EXPECT_EQ(GetDllDirectoryW(MAX_PATH, after), 0u) << "the DLL directory is empty, not the previous one";
  EXPECT_EQ(after[0], L'\0');
  EXPECT_TRUE(applied & HeapTerminationOnCorruption);
  if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr) {
    EXPECT_TRUE(applied & DefaultDllDirectoriesSystem32);
  }
  // A system DLL is still found by its bare name.
  HMODULE version = LoadLibraryW(L"version.dll");
  EXPECT_NE(version, nullptr);
  if (version) FreeLibrary(version);
}

}  // namespace
