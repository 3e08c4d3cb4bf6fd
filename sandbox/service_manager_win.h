// SPDX-License-Identifier: Apache-2.0
// The service manager: maps message ids to services for the channel. The broker's manager
// holds a registry that the broker fills (id 6 -> the request service); ids it does not
// know fall back to the built-in table (id 3 -> the plug-in channel service). One manager
// per host connection, created and destroyed by the server thread.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include "sandbox/broker_channel_win.h"
#include "sandbox/service_base.h"

namespace tarnvel::sandbox {

class SandboxPIServiceManager : public ipc::ServiceLookup<BrokerChannel> {
 public:
  virtual ~SandboxPIServiceManager() = default;
  ipc::MsgHandlerBase<BrokerChannel>* GetService(int32_t id) override;
};

class TarnvelPluginServiceManager : public SandboxPIServiceManager {
 public:
  ipc::MsgHandlerBase<BrokerChannel>* GetService(int32_t id) override;
  // Overwrites an existing entry; may throw on memory exhaustion.
  void Register(int32_t id, ipc::MsgHandlerBase<BrokerChannel>* service);

 private:
  std::map<int32_t, ipc::MsgHandlerBase<BrokerChannel>*> registry_;  // services are not owned
};

// The process-wide manager reference that the channel reads for every message.
ipc::ServiceLookup<BrokerChannel>* const* CurrentServiceManager();

struct ServiceRegistration {
  int32_t id;
  ipc::MsgHandlerBase<BrokerChannel>* service;
};

// True when a manager is current afterwards (an existing one is kept as it is). A new one
// registers the given services.
[[nodiscard]] bool CreateServiceManager(std::initializer_list<ServiceRegistration> services);
void DestroyServiceManager();

}  // namespace tarnvel::sandbox
