// SPDX-License-Identifier: Apache-2.0
#include "sandbox/service_manager_win.h"

#include <memory>
#include <new>
#include <utility>
#include "sandbox/plugin_channel_svc_win.h"

namespace tarnvel::sandbox {

namespace {
// Written only by the server thread, before it signals the connection and after its
// receive loop has returned; the loop reads it on the same thread.
ipc::ServiceLookup<BrokerChannel>* g_published = nullptr;

// The one owner of the manager. Kept behind a pointer that is never destroyed, so nothing
// runs at process exit.
std::unique_ptr<TarnvelPluginServiceManager>& ManagerOwner() {
  static auto* owner = new std::unique_ptr<TarnvelPluginServiceManager>();
  return *owner;
}
}  // namespace

ipc::MsgHandlerBase<BrokerChannel>* SandboxPIServiceManager::GetService(int32_t id) {
  if (id == MessageId::PluginPipeRequest) return &PluginChannelService();
  return nullptr;
}

ipc::MsgHandlerBase<BrokerChannel>* TarnvelPluginServiceManager::GetService(int32_t id) {
  auto it = registry_.find(id);
  if (it != registry_.end()) return it->second;
  return SandboxPIServiceManager::GetService(id);
}

void TarnvelPluginServiceManager::Register(int32_t id, ipc::MsgHandlerBase<BrokerChannel>* service) {
  registry_[id] = service;
}

ipc::ServiceLookup<BrokerChannel>* const* CurrentServiceManager() { return &g_published; }

bool CreateServiceManager(std::initializer_list<ServiceRegistration> services) {
  std::unique_ptr<TarnvelPluginServiceManager>& owner = ManagerOwner();
  if (owner) return true;
  std::unique_ptr<TarnvelPluginServiceManager> manager(new (std::nothrow) TarnvelPluginServiceManager());
  if (!manager) return false;
  try {
    for (const ServiceRegistration& r : services) manager->Register(r.id, r.service);
  } catch (...) {
    return false;
  }
  owner = std::move(manager);
  g_published = owner.get();
  return true;
}

void DestroyServiceManager() {
  g_published = nullptr;
  ManagerOwner().reset();
}

}  // namespace tarnvel::sandbox
