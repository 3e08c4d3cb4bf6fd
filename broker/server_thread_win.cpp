// SPDX-License-Identifier: Apache-2.0
#include "broker/server_thread_win.h"

#include "ipc/pipe_transport_win.h"
#include "requests/request_service_win.h"
#include "sandbox/plugin_channel_svc_win.h"
#include "sandbox/service_manager_win.h"

namespace tarnvel::broker {

using namespace sandbox;

DWORD WINAPI ServerThreadMain(LPVOID arg) {
  const ServerThreadStart* start = static_cast<const ServerThreadStart*>(arg);
  ServerSync* const sync = start->sync;
  const HANDLE pipe = start->pipe;

  ipc::PipeTransportWithMessagePump transport;
  if (!transport.Open(pipe, true)) {
    SetEvent(sync->failedEvent);
    transport.ReleaseReadBuffer();
    transport.Close();
    return 1;
  }

  BrokerChannel channel(&transport, CurrentServiceManager());
  // The broker is where services meet the manager; sandbox/ knows no request service.
  // Without a manager the connection is still served: every message then reaches the
  // default handler, which ends it.
  static_cast<void>(CreateServiceManager({{MessageId::Request, &tarnvel::requests::BrokerRequestService()}}));
  SetEvent(sync->connectedEvent);

  ipc::BadMessageRecv<BrokerChannel> defaultHandler;
  channel.ReceiveLoop(&defaultHandler);

  DestroyServiceManager();
  ReleasePluginChannel();
  transport.ReleaseReadBuffer();
  transport.Close();
  return 0;
}

}  // namespace tarnvel::broker
