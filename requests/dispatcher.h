// SPDX-License-Identifier: Apache-2.0
// The decision path of a broker request, as pure code: which policy judges which text, in
// which order, and which operation then runs on the value that was judged. Every byte here
// came from the host and may be hostile. Every judgement of a request is made here, on what
// the system told the dispatcher (folders, long paths); every refusal line is written here.
//
// Operations are reached through RequestOperations: the system's own behind it in the
// broker, recording fakes in tests. Each takes only judged values (requests/judged.h), which
// exist only where their policy allowed them, so an act without its judgement cannot be
// written.
#pragma once
#include <cstdint>
#include <vector>
#include "base/protocol.h"
#include "base/request_inputs.h"
#include "base/text.h"
#include "ipc/reply_body.h"
#include "registry/key_policy.h"
#include "registry/registry_ops.h"
#include "requests/judged.h"
#include "requests/url_check.h"

namespace tarnvel::requests {

// What a registry operation reports, for the dispatcher to map.
using registry::RegistryFileNotFound;
using registry::RegistryInvalidParameter;
using registry::RegistryResult;
using registry::RegistryStep;
using registry::RegistryUnsupportedType;

class RequestOperations {
 public:
  virtual ~RequestOperations() = default;

  // What the judgements need from the system, asked once for each request that needs it:
  // the roaming application-data folder and the local temporary folder (empty on failure),
  // and a path with its short (8.3) folder names made long.
  virtual Text DataFolder() = 0;
  virtual Text TempFolder() = 0;
  virtual Text ExpandLongPath(const Text& path) = 0;

  // Registry (registry/registry_ops.h): the Win32 error and its step.
  virtual RegistryResult ReadString(const JudgedKey& key, const Text& name, Text& out) = 0;
  virtual RegistryResult WriteString(const JudgedKey& key, const Text& name, const Text& data) = 0;
  virtual RegistryResult ReadDword(const JudgedKey& key, const Text& name, uint32_t& out) = 0;
  virtual RegistryResult WriteDword(const JudgedKey& key, const Text& name, uint32_t value) = 0;
  virtual RegistryResult ReadQword(const JudgedKey& key, const Text& name, uint64_t& out) = 0;
  virtual RegistryResult WriteQword(const JudgedKey& key, const Text& name, uint64_t value) = 0;
  virtual RegistryResult DeleteValue(const JudgedKey& key, const Text& name) = 0;
  virtual RegistryResult DeleteKey(const JudgedKey& key) = 0;
  virtual RegistryResult DeleteKeyTree(const JudgedKey& key) = 0;
  virtual RegistryResult KeyExists(const JudgedKey& key) = 0;
  virtual RegistryResult ListSubkeys(const JudgedKey& key, std::vector<Text>& names) = 0;
  virtual RegistryResult ListValues(const JudgedKey& key, std::vector<Text>& namesAndData) = 0;
  virtual RegistryResult CopyKeyTree(const JudgedKey& source, const JudgedKey& destination) = 0;

  // Data files. A read answers with a text source in `reply`; a write gets the bytes its
  // well-formed hexadecimal text spells.
  virtual RequestStatus ReadDataFile(const JudgedDataPath& path, ipc::ReplyBody& reply) = 0;
  virtual RequestStatus WriteDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data) = 0;
  virtual RequestStatus DataFileExists(const JudgedDataPath& path) = 0;
  virtual RequestStatus DeleteDataFile(const JudgedDataPath& path) = 0;

  // Shell, copies through the temporary folder, URL checks.
  virtual RequestStatus ShellOpen(const JudgedShellTarget& target) = 0;
  virtual CopyOutcome CopyFileIn(const JudgedCopy& copy) = 0;
  virtual CopyOutcome ExportFile(const JudgedCopy& copy) = 0;
  virtual HttpCheckStart StartHttpCheck(const JudgedUrl& url, uint32_t& id) = 0;
  virtual RequestStatus PollHttpCheck(uint32_t id, Text& reply) = 0;
};

// Decides in a fixed order: ping; the ops that judge their own texts (shell open, URL check
// start and poll, file copy, file export, copy tree); then the general policy stage
// (data-folder check for ops 14-17, registry key check for every other code, unknown ones
// included) before the op code is even looked at; then the operation. `reply` is emptied
// first and holds the reply's text (or its source) afterwards.
[[nodiscard]] RequestStatus DispatchRequest(RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply);
// The same with text C as text, also for a data-file write.
[[nodiscard]] RequestStatus DispatchRequest(RequestOperations& ops, int32_t opCode, int32_t hiveSelector,
                                            const Text& textA, const Text& textB, const Text& textC,
                                            ipc::ReplyBody& reply);

}  // namespace tarnvel::requests
