// SPDX-License-Identifier: Apache-2.0
// The owning handle types: what a reset does to the thread's last error and to the handle.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/unique_handle_win.h"

using namespace tarnvel;

namespace {

// A close function that, like many, leaves its own last error behind.
struct NoisyTraits {
  using Type = int;
  static Type Empty() { return 0; }
  static bool IsValid(Type v) { return v != 0; }
  static void Close(Type) { SetLastError(ERROR_INVALID_HANDLE); }
};

TEST(UniqueHandle, ResetAndDestructionKeepTheLastError) {
  UniqueResource<NoisyTraits> r(7);
  SetLastError(ERROR_ACCESS_DENIED);
  r.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(r.valid());
  {
    UniqueResource<NoisyTraits> scoped(9);
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event.valid());
  SetLastError(ERROR_PIPE_BUSY);
  event.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
}

TEST(UniqueHandle, ResetClosesTheOldHandleAndTakesTheNew) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueHandle h(first);
  h.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(first, &flags)) << "the first handle is closed";
  EXPECT_TRUE(GetHandleInformation(h.get(), &flags));
  // Neither form of "no handle" is ever closed.
  UniqueHandle none(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none.valid());
}

}  // namespace
