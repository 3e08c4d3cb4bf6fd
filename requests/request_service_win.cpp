// SPDX-License-Identifier: Apache-2.0
#include "requests/request_service_win.h"

#include "audit/event_log_win.h"
#include "policy/admin_policy_source_win.h"
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
  std::shared_ptr<const policy::EffectivePolicy> AdminPolicy() override { return policy::CurrentAdminPolicy(); }

  OpOutcome ReadString(const JudgedKey& k, const Text& n, Text& out) override {
    return registry::ReadString(k, n, out);
  }
  OpOutcome WriteString(const JudgedKey& k, const Text& n, const Text& d) override {
    return registry::WriteString(k, n, d);
  }
  OpOutcome ReadDword(const JudgedKey& k, const Text& n, uint32_t& out) override {
    return registry::ReadDword(k, n, out);
  }
  OpOutcome WriteDword(const JudgedKey& k, const Text& n, uint32_t v) override { return registry::WriteDword(k, n, v); }
  OpOutcome ReadQword(const JudgedKey& k, const Text& n, uint64_t& out) override {
    return registry::ReadQword(k, n, out);
  }
  OpOutcome WriteQword(const JudgedKey& k, const Text& n, uint64_t v) override { return registry::WriteQword(k, n, v); }
  OpOutcome DeleteValue(const JudgedKey& k, const Text& n) override { return registry::DeleteValue(k, n); }
  OpOutcome DeleteKey(const JudgedKey& k) override { return registry::DeleteKey(k); }
  OpOutcome DeleteKeyTree(const JudgedKey& k) override { return registry::DeleteKeyTree(k); }
  OpOutcome KeyExists(const JudgedKey& k) override { return registry::KeyExists(k); }
  OpOutcome ListSubkeys(const JudgedKey& k, std::vector<Text>& out) override { return registry::ListSubkeys(k, out); }
  OpOutcome ListValues(const JudgedKey& k, std::vector<Text>& out) override { return registry::ListValues(k, out); }
  OpOutcome CopyKeyTree(const JudgedKey& from, const JudgedKey& to) override { return registry::CopyKeyTree(from, to); }

  OpOutcome ReadDataFile(const JudgedDataPath& p, uint32_t maxBytes, ipc::ReplyBody& reply) override {
    return OpenAppDataFileReply(p, maxBytes, reply);
  }
  OpOutcome WriteDataFile(const JudgedDataPath& p, const std::vector<uint8_t>& data) override {
    return WriteAppDataFile(p, data);
  }
  OpOutcome DataFileExists(const JudgedDataPath& p) override { return AppDataFileExists(p); }
  OpOutcome DeleteDataFile(const JudgedDataPath& p) override { return DeleteAppDataFile(p); }

  OpOutcome ShellOpen(const JudgedShellTarget& t) override { return requests::ShellOpen(t); }
  OpOutcome CopyFileIn(const JudgedCopy& c) override { return requests::CopyFileIn(c); }
  OpOutcome ExportFile(const JudgedCopy& c) override { return requests::ExportFile(c); }
  OpOutcome StartHttpCheck(const JudgedUrl& u, uint32_t& id) override { return requests::StartHttpCheck(u, id); }
  OpOutcome PollHttpCheck(uint32_t id, Text& reply) override { return requests::PollHttpCheck(id, reply); }
};

}  // namespace

RequestOperations& SystemOperations() {
  static SystemRequestOperations* ops = new SystemRequestOperations();
  return *ops;
}

void TarnvelBrokerRegistrySvc::OnRequest(const RequestInputs& in, int32_t& status, ipc::ReplyBody& reply) {
  status = static_cast<int32_t>(DispatchRequest(SystemOperations(), in, reply, &audit::EventLog()));
}

TarnvelBrokerRegistrySvc& BrokerRequestService() {
  static TarnvelBrokerRegistrySvc* service = new TarnvelBrokerRegistrySvc();
  return *service;
}

}  // namespace tarnvel::requests
