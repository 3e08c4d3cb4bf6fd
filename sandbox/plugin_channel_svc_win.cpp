// SPDX-License-Identifier: Apache-2.0
#include "sandbox/plugin_channel_svc.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include "base/unique_handle.h"

namespace {
SbxPISDKGetHandleToPluginIPCChannelSvc g_pluginChannelSvc;

std::atomic<uint32_t> g_pipeNameCounter{0};

// Set each time a client end is stored, cleared at the end of the host's connection.
std::atomic<PipeTransportWithMessagePump*> g_pluginTransportRef{nullptr};

PipeTransportWithMessagePump& PluginChannelTransport() {
  // Never destroyed: it lives to process exit like every process-wide object.
  static PipeTransportWithMessagePump* transport = new PipeTransportWithMessagePump();
  return *transport;
}

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;  // 0x80003
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kClientFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;  // 0x110000

}  // namespace

SbxPISDKGetHandleToPluginIPCChannelSvc& PluginChannelService() { return g_pluginChannelSvc; }

// Bounded, because the server thread serves nothing while it waits here.
HANDLE ConnectToPluginPipe(const wchar_t* name) {
  const ULONGLONG deadline = GetTickCount64() + PluginConnectBudgetMs;
  do {
    if (!WaitNamedPipeW(name, NMPWAIT_USE_DEFAULT_WAIT)) {
      Sleep(25);
      continue;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_EXISTING, kClientFlags, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) return h;
    Sleep(25);
    Sleep(25);
  } while (GetTickCount64() < deadline);
  return INVALID_HANDLE_VALUE;
}

int64_t SbxPISDKGetHandleToPluginIPCChannelSvc::Serve(BrokerChannel& channel, Inputs& in) {
  return ProvisionPluginChannel(channel, in.processId);
}

int64_t ProvisionPluginChannel(BrokerChannel& channel, int32_t targetProcessId) {
  const DWORD tick = GetTickCount();
  const DWORD self = GetCurrentProcessId();
  const uint32_t n = g_pipeNameCounter.fetch_add(1) + 1;
  wchar_t name[96];
  swprintf(name, sizeof(name) / sizeof(name[0]), L"\\\\.\\pipe\\ko.%x.%x.%x", static_cast<unsigned>(self),
           static_cast<unsigned>(tick), static_cast<unsigned>(n));

  HANDLE remote = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  UniqueHandle target(OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(targetProcessId)));
  if (!target) {
    // The handle value -1 already tells the requester that nothing was made; the code
    // says why, as for the other two failures.
    error = GetLastError();
  } else {
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE pipe = CreateNamedPipeW(name, kPipeOpenMode, kPipeMode, 1, 4096, 4096, 2000, &sa);
    if (pipe == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else if (!DuplicateHandle(GetCurrentProcess(), pipe, target.get(), &remote, 0, FALSE,
                                DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
      // DUPLICATE_CLOSE_SOURCE closed our end either way; the pipe is gone.
      error = GetLastError();
      remote = INVALID_HANDLE_VALUE;
    }
  }

  const int64_t handleValue = static_cast<int64_t>(reinterpret_cast<intptr_t>(remote));
  const int64_t sent = ipc::MsgOut<BrokerChannel>::SendMsg(channel, MessageId::PluginPipeReply,
                                                           Param::Int32(static_cast<int32_t>(error), Int32Kind4),
                                                           Param::Pointer(handleValue));
  if (remote == INVALID_HANDLE_VALUE) return sent;

  PipeTransportWithMessagePump& transport = PluginChannelTransport();
  g_pluginTransportRef.store(&transport);
  // A client end held from an earlier request is closed here rather than left open. A
  // connection that could not be made leaves none, and serving goes on.
  static_cast<void>(transport.Adopt(ConnectToPluginPipe(name)));
  return sent;
}

void ReleasePluginChannel() {
  PipeTransportWithMessagePump* transport = g_pluginTransportRef.exchange(nullptr);
  if (transport == nullptr) return;
  transport->ReleaseReadBuffer();
  transport->Close();
}
