// SPDX-License-Identifier: Apache-2.0
#include "sandbox/plugin_channel_svc_win.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include "audit/event_log_win.h"
#include "base/debug_line.h"
#include "base/unique_handle_win.h"
#include "policy/admin_policy_source_win.h"

namespace tarnvel::sandbox {

namespace {
SbxPISDKGetHandleToPluginIPCChannelSvc g_pluginChannelSvc;

std::atomic<uint32_t> g_pipeNameCounter{0};

// Set each time a client end is stored, cleared at the end of the host's connection.
std::atomic<ipc::PipeTransportWithMessagePump*> g_pluginTransportRef{nullptr};

ipc::PipeTransportWithMessagePump& PluginChannelTransport() {
  // Never destroyed: it lives to process exit like every process-wide object.
  static ipc::PipeTransportWithMessagePump* transport = new ipc::PipeTransportWithMessagePump();
  return *transport;
}

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;  // 0x80003
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kClientFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;  // 0x110000

}  // namespace

SbxPISDKGetHandleToPluginIPCChannelSvc& PluginChannelService() { return g_pluginChannelSvc; }

// Bounded, because the server thread serves nothing while it waits here.
UniqueHandle ConnectToPluginPipe(const wchar_t* name) {
  const ULONGLONG deadline = GetTickCount64() + PluginConnectBudgetMs;
  do {
    if (!WaitNamedPipeW(name, NMPWAIT_USE_DEFAULT_WAIT)) {
      Sleep(25);
      continue;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    UniqueHandle h(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_EXISTING, kClientFlags, nullptr));
    if (h || GetLastError() != ERROR_PIPE_BUSY) return h;
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return UniqueHandle();
}

int64_t SbxPISDKGetHandleToPluginIPCChannelSvc::OnMsgIn(int32_t id, BrokerChannel& channel, ipc::Param* const* params,
                                                        uint32_t count) {
  using InConverter = MsgParamConverter<MessageId::PluginPipeRequest>;
  InConverter::Inputs in{};
  int64_t refused = ipc::ResultHandled;
  if (!TakeInputs<InConverter>(MsgInId, id, params, count, in, refused)) return refused;
  // Refused by policy as a pipe that could not be made: access denied, no handle.
  const std::shared_ptr<const policy::EffectivePolicy> adminPolicy = policy::CurrentAdminPolicy();
  const std::optional<policy::PolicyRefusal> byPolicy = policy::JudgePluginPipeByAdminPolicy(*adminPolicy);
  if (byPolicy && (adminPolicy->auditOnly || adminPolicy->audit)) {
    // The record names the plug-in's process id as its target.
    const audit::EventKind kind = adminPolicy->auditOnly ? audit::EventKind::WouldRefuse : audit::EventKind::Refusal;
    audit::EventLog().Write(
        audit::PolicyRecord(*byPolicy, kind, u"plugin-pipe", AsciiText(std::to_string(in.processId).c_str())));
  }
  if (byPolicy && !adminPolicy->auditOnly) {
    const std::string line = std::string("[TarnvelBroker] ") + byPolicy->line + "\n";
    DebugLine(line.c_str());
    return ipc::MsgOut<BrokerChannel>::SendMsg(
        channel, MessageId::PluginPipeReply,
        ipc::Param::Int32(static_cast<int32_t>(ERROR_ACCESS_DENIED), ipc::Int32Kind4),
        ipc::Param::Pointer(static_cast<int64_t>(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE))));
  }
  return ProvisionPluginChannel(channel, in.processId);
}

// The client end reached the pipe this process created, not an instance of the same name
// that another process created first (the first-instance flag is not enforced everywhere,
// and the name is predictable).
bool ReachedOwnPipe(HANDLE client) {
  ULONG server = 0;
  return GetNamedPipeServerProcessId(client, &server) && server == GetCurrentProcessId();
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
  UniqueHandle client;
  // The query right tells which process the id opened: Windows also opens a process for
  // its id plus 1 to 3.
  UniqueHandle target(
      OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(targetProcessId)));
  const DWORD opened = target ? GetProcessId(target.get()) : 0;
  if (!target) {
    // The handle value -1 already tells the requester that nothing was made; the code
    // says why, as for the other failures.
    error = GetLastError();
  } else if (opened == 0 || opened == self) {
    // Both ends would stay in the broker, one more pipe for every such request.
    error = ERROR_INVALID_PARAMETER;
  } else {
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueHandle pipe(CreateNamedPipeW(name, kPipeOpenMode, kPipeMode, 1, 4096, 4096, 2000, &sa));
    if (!pipe) {
      error = GetLastError();
    } else if (!ipc::IsSolePipeInstance(pipe.get())) {
      // Another process made the name first: the broker's end must not even connect to it.
      error = ERROR_ACCESS_DENIED;
    } else {
      // Connected before the server end leaves: the broker's end must be on this pipe.
      client = ConnectToPluginPipe(name);
      if (!client) {
        error = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED);
      } else if (!ReachedOwnPipe(client.get())) {
        // As where the first-instance flag is enforced: the name belongs to someone else.
        error = ERROR_ACCESS_DENIED;
        client.reset();
      } else if (!DuplicateHandle(GetCurrentProcess(), pipe.release(), target.get(), &remote, 0, FALSE,
                                  DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
        // DUPLICATE_CLOSE_SOURCE closed our server end either way; the pipe is gone.
        error = GetLastError();
        remote = INVALID_HANDLE_VALUE;
        client.reset();
      }
    }
  }

  const int64_t handleValue = static_cast<int64_t>(reinterpret_cast<intptr_t>(remote));
  const int64_t sent = ipc::MsgOut<BrokerChannel>::SendMsg(
      channel, MessageId::PluginPipeReply, ipc::Param::Int32(static_cast<int32_t>(error), ipc::Int32Kind4),
      ipc::Param::Pointer(handleValue));
  if (remote == INVALID_HANDLE_VALUE) return sent;

  ipc::PipeTransportWithMessagePump& transport = PluginChannelTransport();
  g_pluginTransportRef.store(&transport);
  // A client end held from an earlier request is closed here rather than left open.
  static_cast<void>(transport.Adopt(client.release()));
  return sent;
}

void ReleasePluginChannel() {
  ipc::PipeTransportWithMessagePump* transport = g_pluginTransportRef.exchange(nullptr);
  if (transport == nullptr) return;
  transport->ReleaseReadBuffer();
  transport->Close();
}

}  // namespace tarnvel::sandbox
