// SPDX-License-Identifier: Apache-2.0
// The operations a request's row may run, and what the judgements need from the system: the
// system's own behind it in the broker (requests/request_service_win.cpp), recording fakes in
// tests. Each operation takes only judged values (requests/judged.h), which exist only where
// their policy allowed them, and reports one kind of outcome (base/op_outcome.h), which its
// op's row maps to a status.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include "base/op_outcome.h"
#include "base/text.h"
#include "ipc/reply_body.h"
#include "policy/admin_policy.h"
#include "registry/key_policy.h"
#include "requests/judged.h"

namespace tarnvel::requests {

class RequestOperations {
 public:
  virtual ~RequestOperations() = default;

  // What the judgements need from the system, asked once for each request that needs it:
  // the roaming application-data folder and the local temporary folder (empty on failure),
  // and a path with its short (8.3) folder names made long.
  virtual Text DataFolder() = 0;
  virtual Text TempFolder() = 0;
  virtual Text ExpandLongPath(const Text& path) = 0;
  // The administrator policies in force (policy/admin_policy.h); the built-in rules alone
  // unless the system's operations say otherwise.
  virtual std::shared_ptr<const policy::EffectivePolicy> AdminPolicy() { return policy::BuiltInAdminPolicy(); }

  // Registry (registry/registry_ops.h).
  virtual OpOutcome ReadString(const JudgedKey& key, const Text& name, Text& out) = 0;
  virtual OpOutcome WriteString(const JudgedKey& key, const Text& name, const Text& data) = 0;
  virtual OpOutcome ReadDword(const JudgedKey& key, const Text& name, uint32_t& out) = 0;
  virtual OpOutcome WriteDword(const JudgedKey& key, const Text& name, uint32_t value) = 0;
  virtual OpOutcome ReadQword(const JudgedKey& key, const Text& name, uint64_t& out) = 0;
  virtual OpOutcome WriteQword(const JudgedKey& key, const Text& name, uint64_t value) = 0;
  virtual OpOutcome DeleteValue(const JudgedKey& key, const Text& name) = 0;
  virtual OpOutcome DeleteKey(const JudgedKey& key) = 0;
  virtual OpOutcome DeleteKeyTree(const JudgedKey& key) = 0;
  virtual OpOutcome KeyExists(const JudgedKey& key) = 0;
  virtual OpOutcome ListSubkeys(const JudgedKey& key, std::vector<Text>& names) = 0;
  virtual OpOutcome ListValues(const JudgedKey& key, std::vector<Text>& namesAndData) = 0;
  virtual OpOutcome CopyKeyTree(const JudgedKey& source, const JudgedKey& destination) = 0;

  // Data files. A read of a file of at most `maxBytes` answers with a text source in `reply`;
  // a write gets the bytes its well-formed hexadecimal text spells.
  virtual OpOutcome ReadDataFile(const JudgedDataPath& path, uint32_t maxBytes, ipc::ReplyBody& reply) = 0;
  virtual OpOutcome WriteDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data) = 0;
  virtual OpOutcome DataFileExists(const JudgedDataPath& path) = 0;
  virtual OpOutcome DeleteDataFile(const JudgedDataPath& path) = 0;

  // Shell, copies through the temporary folder, URL checks.
  virtual OpOutcome ShellOpen(const JudgedShellTarget& target) = 0;
  virtual OpOutcome CopyFileIn(const JudgedCopy& copy) = 0;
  virtual OpOutcome ExportFile(const JudgedCopy& copy) = 0;
  virtual OpOutcome StartHttpCheck(const JudgedUrl& url, uint32_t& id) = 0;
  virtual OpOutcome PollHttpCheck(uint32_t id, Text& reply) = 0;
};

}  // namespace tarnvel::requests
