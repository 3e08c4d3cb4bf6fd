// SPDX-License-Identifier: Apache-2.0
#include "requests/request_service_win.h"

#include "registry/registry_ops.h"
#include "requests/file_ops_win.h"
#include "requests/folders_win.h"
#include "requests/shell_open_win.h"
#include "requests/url_check_win.h"

namespace tarnvel::requests {

namespace {

// The system's operations behind the dispatcher: each a plain call of its operation.
class SystemRequestOperations final : public RequestOperations {
 public:
  Text DataFolder() override { return AppDataFolder(); }
  Text TempFolder() override { return LocalTempFolder(); }
  Text ExpandLongPath(const Text& path) override { return requests::ExpandLongPath(path); }

  RegistryResult ReadString(const JudgedKey& k, const Text& n, Text& out) override {
    return registry::ReadString(k, n, out);
  }
  RegistryResult WriteString(const JudgedKey& k, const Text& n, const Text& d) override {
    return registry::WriteString(k, n, d);
  }
  RegistryResult ReadDword(const JudgedKey& k, const Text& n, uint32_t& out) override {
    return registry::ReadDword(k, n, out);
  }
  RegistryResult WriteDword(const JudgedKey& k, const Text& n, uint32_t v) override {
    return registry::WriteDword(k, n, v);
  }
  RegistryResult ReadQword(const JudgedKey& k, const Text& n, uint64_t& out) override {
    return registry::ReadQword(k, n, out);
  }
  RegistryResult WriteQword(const JudgedKey& k, const Text& n, uint64_t v) override {
    return registry::WriteQword(k, n, v);
  }
  RegistryResult DeleteValue(const JudgedKey& k, const Text& n) override { return registry::DeleteValue(k, n); }
  RegistryResult DeleteKey(const JudgedKey& k) override { return registry::DeleteKey(k); }
  RegistryResult DeleteKeyTree(const JudgedKey& k) override { return registry::DeleteKeyTree(k); }
  RegistryResult KeyExists(const JudgedKey& k) override { return registry::KeyExists(k); }
  RegistryResult ListSubkeys(const JudgedKey& k, std::vector<Text>& out) override {
    return registry::ListSubkeys(k, out);
  }
  RegistryResult ListValues(const JudgedKey& k, std::vector<Text>& out) override {
    return registry::ListValues(k, out);
  }
  RegistryResult CopyKeyTree(const JudgedKey& from, const JudgedKey& to) override {
    return registry::CopyKeyTree(from, to);
  }

  RequestStatus ReadDataFile(const JudgedDataPath& p, ipc::ReplyBody& reply) override {
    return OpenAppDataFileReply(p, reply);
  }
  RequestStatus WriteDataFile(const JudgedDataPath& p, const std::vector<uint8_t>& data) override {
    return WriteAppDataFile(p, data);
  }
  RequestStatus DataFileExists(const JudgedDataPath& p) override { return AppDataFileExists(p); }
  RequestStatus DeleteDataFile(const JudgedDataPath& p) override { return DeleteAppDataFile(p); }

  RequestStatus ShellOpen(const JudgedShellTarget& t) override { return requests::ShellOpen(t); }
  CopyOutcome CopyFileIn(const JudgedCopy& c) override { return requests::CopyFileIn(c); }
  CopyOutcome ExportFile(const JudgedCopy& c) override { return requests::ExportFile(c); }
  HttpCheckStart StartHttpCheck(const JudgedUrl& u, uint32_t& id) override { return requests::StartHttpCheck(u, id); }
  RequestStatus PollHttpCheck(uint32_t id, Text& reply) override { return requests::PollHttpCheck(id, reply); }
};

}  // namespace

RequestOperations& SystemOperations() {
  static SystemRequestOperations* ops = new SystemRequestOperations();
  return *ops;
}

void TarnvelBrokerRegistrySvc::OnRequest(const RequestInputs& in, int32_t& status, ipc::ReplyBody& reply) {
  status = static_cast<int32_t>(DispatchRequest(SystemOperations(), in, reply));
}

TarnvelBrokerRegistrySvc& BrokerRequestService() {
  static TarnvelBrokerRegistrySvc* service = new TarnvelBrokerRegistrySvc();
  return *service;
}

}  // namespace tarnvel::requests
