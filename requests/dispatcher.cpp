// SPDX-License-Identifier: Apache-2.0
#include "requests/dispatcher.h"

#include <memory>
#include <optional>
#include <string>
#include "base/debug_line.h"
#include "requests/admin_judge.h"
#include "requests/op_table.h"

namespace tarnvel::requests {

namespace {

// Writes "[TarnvelBroker] <words><rest>\n" as one debugger line.
void WriteLine(const char* words, const char* rest) {
  std::string line = "[TarnvelBroker] ";
  line += words;
  line += rest;
  line += '\n';
  DebugLine(line.c_str());
}

RequestStatus Refuse(const OpRow& row, PolicyVerdict verdict) {
  WriteLine(row.refusal, row.namesVerdict ? VerdictText(verdict) : "");
  return RequestStatus::Denied;
}

RequestStatus RefuseByPolicy(const policy::PolicyRefusal& refusal) {
  WriteLine(refusal.line, "");
  return RequestStatus::Denied;
}

// The one place an operation's outcome becomes a status: a named outcome means the same for
// every op, anything else is the row's to map.
RequestStatus StatusOf(const OpRow& row, const Served& served) {
  if (served.verdict != Allow) return Refuse(row, served.verdict);
  switch (served.outcome.named) {
    case OpNamed::BadArgument:
      return RequestStatus::BadArgument;
    case OpNamed::NotAtJudgedPath:
      // The file opened is not the one judged: it leads out of the temporary folder, or a
      // copy-in source's real name has another extension.
      return Refuse(row, OutsideSubtree);
    case OpNamed::TooMany:
      WriteLine(row.refusal, "refused: too many outstanding");
      return RequestStatus::Failed;
    case OpNamed::None:
      break;
  }
  return row.status(served.outcome);
}

}  // namespace

RequestStatus DispatchRequest(RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply) {
  reply.Clear();
  const OpRow& row = FindOpRow(in.opCode);
  // Administrator policies only narrow: they are asked first, and in audit-only mode they
  // refuse nothing.
  const std::shared_ptr<const policy::EffectivePolicy> adminPolicy = ops.AdminPolicy();
  const std::optional<policy::PolicyRefusal> byPolicy = JudgeByAdminPolicy(*adminPolicy, in);
  if (byPolicy && !adminPolicy->auditOnly) return RefuseByPolicy(*byPolicy);
  const RequestStatus status = StatusOf(row, row.serve(row, ops, in, reply));
  if (status != RequestStatus::Success) reply.Clear();
  if (reply.source) reply.unloadedStatus = static_cast<int32_t>(row.unloaded);
  return status;
}

}  // namespace tarnvel::requests
