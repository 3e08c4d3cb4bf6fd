// SPDX-License-Identifier: Apache-2.0
// The server thread owns the broker pipe and everything of the host's one connection:
// it accepts the host, brings up the service layer, signals the main thread, runs the
// receive loop and tears down in a fixed order.
#pragma once
#include <windows.h>

namespace tarnvel::broker {

struct ServerSync {
  HANDLE thread = nullptr;
  HANDLE connectedEvent = nullptr;  // the host connected and the services are ready
  HANDLE failedEvent = nullptr;     // accepting the host failed
};

// Thread argument; the thread copies both fields at its start and never touches it again.
struct ServerThreadStart {
  ServerSync* sync;
  HANDLE pipe;
};

// 0 after a served connection, 1 when accepting the host failed.
DWORD WINAPI ServerThreadMain(LPVOID start);

}  // namespace tarnvel::broker
