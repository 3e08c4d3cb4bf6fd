// SPDX-License-Identifier: Apache-2.0
// Entry of the broker: parse the command line, watch the host, create the broker pipe,
// hand it to the server thread, pump window messages until the host connected, then
// sleep until the host process or the server thread ends.
#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include "audit/event_log_win.h"
#include "base/message_wait_win.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "broker/command_line.h"
#include "broker/hardening.h"
#include "broker/server_thread_win.h"
#include "ipc/pipe_transport_win.h"
#include "policy/admin_policy_source_win.h"

using namespace tarnvel;
using namespace tarnvel::broker;

namespace {

constexpr DWORD kBrokerPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
constexpr DWORD kBrokerPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

enum class ConnectionWait { Connected, Failed, HostEnded };

// Keeps this thread's message queue serviced while the server thread accepts the host.
// The host process is watched too: a host that dies before connecting would otherwise
// leave the broker waiting forever.
ConnectionWait WaitForConnection(const ServerSync& sync, HANDLE host) {
  const HANDLE handles[3] = {sync.connectedEvent, sync.failedEvent, host};
  switch (WaitPumpingMessages(handles, 3)) {
    case 0:
      return ConnectionWait::Connected;
    case 2:
      return ConnectionWait::HostEnded;
    default:
      return ConnectionWait::Failed;
  }
}

// Whether a client came to the broker pipe although the host ended first: the pipe is
// connected, or its client has gone (broken, no data). Checked before the event, because a
// server thread that served and disconnected meanwhile leaves a pipe that some systems
// cannot tell from one still listening, and it set "connected" before that.
bool ClientCame(HANDLE pipe, HANDLE connectedEvent) {
  if (PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED) return true;
  return WaitForSingleObject(connectedEvent, 0) == WAIT_OBJECT_0;
}

// The whole report on standard output, which a program without a console has only when its
// starter gave one (a redirection) or from the console it was started in.
bool PrintReport(const std::string& report) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  UniqueHandle console;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    console.reset(CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    out = console.get();
  }
  DWORD written = 0;
  return out != INVALID_HANDLE_VALUE && out != nullptr &&
         WriteFile(out, report.data(), static_cast<DWORD>(report.size()), &written, nullptr) &&
         written == report.size();
}

bool RunBroker(ServerSync& sync, const Text& commandLine) {
  BrokerCommandLine parsed;
  if (!ParseBrokerCommandLine(commandLine, parsed)) return false;

  tarnvel::audit::SetRecordedHostProcessId(static_cast<uint32_t>(parsed.hostProcessId));

  // Opened before the pipe exists, so a bad pid never creates a pipe.
  UniqueHandle host(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(parsed.hostProcessId)));
  if (!host) return false;

  UniqueHandle pipe(
      CreateNamedPipeW(WidePtr(parsed.pipePath), kBrokerPipeOpenMode, kBrokerPipeMode, 1, 4096, 4096, 2000, nullptr));
  if (!pipe) return false;
  // The host must not reach a pipe of the same name that another process made first.
  if (!ipc::IsSolePipeInstance(pipe.get())) return false;
  // Read while the host connects, before any request, and watched from here on.
  tarnvel::policy::StartAdminPolicyWatch();

  // The main thread's own look at the pipe, valid whatever the server thread has closed.
  UniqueHandle pipeWatch;
  DuplicateHandle(GetCurrentProcess(), pipe.get(), GetCurrentProcess(), pipeWatch.put(), 0, FALSE,
                  DUPLICATE_SAME_ACCESS);

  std::unique_ptr<ServerThreadStart> start(new (std::nothrow) ServerThreadStart{&sync, pipe.get()});
  if (!start) return false;
  ResetEvent(sync.connectedEvent);
  ResetEvent(sync.failedEvent);
  UniqueHandle thread(CreateThread(nullptr, 0, ServerThreadMain, start.get(), 0, nullptr));
  if (!thread) return false;
  // From here on the pipe belongs to the server thread.
  pipe.release();
  sync.thread = thread.get();

  const ConnectionWait wait = WaitForConnection(sync, host.get());
  if (wait == ConnectionWait::HostEnded) {
    // The server thread may not have read its start block yet; it ends with the process.
    start.release();
    // A host that connected and ended before "connected" was set was still served: it ends
    // like any host that ends after connecting.
    return pipeWatch && ClientCame(pipeWatch.get(), sync.connectedEvent);
  }
  if (wait != ConnectionWait::Connected) return false;
  const HANDLE ends[2] = {host.get(), thread.get()};
  const DWORD r = WaitForMultipleObjects(2, ends, FALSE, INFINITE);
  // The last refusals' records are written before the process ends, if the log is quick.
  tarnvel::audit::FlushEventLog(2000);
  return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ApplyStartupHardening();
  const UniqueHandle connected(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  const UniqueHandle failed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ServerSync sync;
  sync.connectedEvent = connected.get();
  sync.failedEvent = failed.get();
  const Text commandLine = FromWide(GetCommandLineW());
  const EffectivePolicyReport report = ParseEffectivePolicySwitch(commandLine);
  if (report != EffectivePolicyReport::None) {
    const tarnvel::policy::EffectivePolicy policy = tarnvel::policy::ReadAdminPolicy();
    return PrintReport(report == EffectivePolicyReport::Json ? tarnvel::policy::EffectivePolicyJson(policy)
                                                             : tarnvel::policy::EffectivePolicyText(policy))
               ? 0
               : 1;
  }
  const bool ok = connected && failed && RunBroker(sync, commandLine);
  // The server thread may still be running; it ends with the process.
  sync.thread = nullptr;
  return ok ? 0 : 1;
}
