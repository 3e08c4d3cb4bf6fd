// SPDX-License-Identifier: Apache-2.0
// The one wait that keeps a thread's window messages flowing: the main thread while the
// host connects, and a transport that pumps while its I/O is pending.
#pragma once
#include <windows.h>

namespace tarnvel {

constexpr int WaitFailed = -1;
constexpr int WaitTimedOut = -2;

// Waits for any of `count` handles (at most MAXIMUM_WAIT_OBJECTS - 1), at most `timeoutMs`
// in all, dispatching the window messages that arrive meanwhile. The index of the handle
// that was signalled, WaitTimedOut, or WaitFailed when the wait itself failed.
int WaitPumpingMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs = INFINITE);

}  // namespace tarnvel
