// SPDX-License-Identifier: Apache-2.0
// Message id 3: provisions a fresh private named pipe, places its server end into the
// plug-in's process (reply id 4 carries the handle value there) and connects to it as its
// client. The broker parks the client end, serving nothing over it, until the host's
// connection ends.
#pragma once
#include <cstdint>
#include "base/unique_handle_win.h"
#include "sandbox/broker_channel_win.h"
#include "sandbox/service_base.h"

namespace tarnvel::sandbox {

class SbxPISDKGetHandleToPluginIPCChannelSvc
    : public SandboxPISvcBase<BrokerChannel>,
      public ipc::MsgIn<MessageId::PluginPipeRequest, SbxPISDKGetHandleToPluginIPCChannelSvc, BrokerChannel> {
 public:
  int64_t OnMsgIn(int32_t id, BrokerChannel& channel, ipc::Param* const* params, uint32_t count) override;
};

// The process-wide instance, which exists before the program's entry runs.
SbxPISDKGetHandleToPluginIPCChannelSvc& PluginChannelService();

// Result of sending reply 4: 0 when written, negative otherwise.
int64_t ProvisionPluginChannel(BrokerChannel& channel, int32_t targetProcessId);

// End of the host's connection: closes the parked client end, if any.
void ReleasePluginChannel();

// Upper bound of the broker's attempts to connect to a provisioned pipe, in milliseconds.
constexpr uint32_t PluginConnectBudgetMs = 2000;

// Connects to a provisioned pipe as its client; an empty handle (and the last error) once the
// budget is spent (a pipe whose server end was closed never becomes available again).
UniqueHandle ConnectToPluginPipe(const wchar_t* name);

}  // namespace tarnvel::sandbox
