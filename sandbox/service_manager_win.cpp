#include "sandbox/service_manager.h"

#include <new>
#include "sandbox/plugin_channel_svc.h"

namespace {
// Written only by the server thread, before it signals the connection and after its
// receive loop has returned; the loop reads it on the same thread.
TarnvelPluginServiceManager* g_manager = nullptr;
ipc::ServiceLookup<BrokerChannel>* g_published = nullptr;
}  // namespace

MsgHandlerBase<BrokerChannel>* SandboxPIServiceManager::GetService(int32_t id) {
  if (id == MessageId::PluginPipeRequest) return &PluginChannelService();
  return nullptr;
}

MsgHandlerBase<BrokerChannel>* TarnvelPluginServiceManager::GetService(int32_t id) {
  auto it = registry_.find(id);
  if (it != registry_.end()) return it->second;
  return SandboxPIServiceManager::GetService(id);
}

void TarnvelPluginServiceManager::Register(int32_t id, MsgHandlerBase<BrokerChannel>* service) {
  registry_[id] = service;
}

ipc::ServiceLookup<BrokerChannel>* const* CurrentServiceManager() { return &g_published; }

bool CreateServiceManager(std::initializer_list<ServiceRegistration> services) {
  if (g_manager != nullptr) return true;
  auto* manager = new (std::nothrow) TarnvelPluginServiceManager();
  if (manager == nullptr) return false;
  try {
    for (const ServiceRegistration& r : services) manager->Register(r.id, r.service);
  } catch (...) {
    delete manager;
    return false;
  }
  g_manager = manager;
  g_published = manager;
  return true;
}

void DestroyServiceManager() {
  g_published = nullptr;
  delete g_manager;
  g_manager = nullptr;
}
