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

// The request being answered, and where its records go: refusals (auditing on) and what a
// policy would have refused (audit-only mode). Null where none is made.
struct Answering {
  const OpRow& row;
  const RequestInputs& in;
  audit::AuditSink* refusals;
  audit::AuditSink* wouldRefuse;
};

void Record(audit::AuditSink* sink, const Answering& a, audit::EventId id, const char* rule) {
  if (sink == nullptr) return;
  audit::AuditRecord record;
  record.id = id;
  record.op = audit::RecordOp(a.in.opCode);
  record.rule = AsciiText(rule);
  record.target = a.row.judgesTextB ? audit::RecordTarget(a.in.textA, a.in.textB) : audit::RecordTarget(a.in.textA);
  sink->Write(record);
}

// A refusal's record names the verdict even where the line does not ("copy tree denied").
RequestStatus Refuse(const Answering& a, PolicyVerdict verdict) {
  WriteLine(a.row.refusal, a.row.namesVerdict ? VerdictText(verdict) : "");
  Record(a.refusals, a, audit::EventOfVerdict(verdict), VerdictText(verdict));
  return RequestStatus::Denied;
}

RequestStatus RefuseByPolicy(const Answering& a, const policy::PolicyRefusal& refusal) {
  WriteLine(refusal.line, "");
  Record(a.refusals, a, audit::EventOfPolicy(refusal.policy, audit::EventKind::Refusal), refusal.line);
  return RequestStatus::Denied;
}

// The one place an operation's outcome becomes a status: a named outcome means the same for
// every op, anything else is the row's to map.
RequestStatus StatusOf(const Answering& a, const Served& served) {
  const OpRow& row = a.row;
  if (served.verdict != Allow) return Refuse(a, served.verdict);
  switch (served.outcome.named) {
    case OpNamed::BadArgument:
      return RequestStatus::BadArgument;
    case OpNamed::NotAtJudgedPath:
      // The file opened is not the one judged: it leads out of the temporary folder, or a
      // copy-in source's real name has another extension.
      return Refuse(a, OutsideSubtree);
    case OpNamed::TooMany:
      WriteLine(row.refusal, "refused: too many outstanding");
      return RequestStatus::Failed;
    case OpNamed::None:
      break;
  }
  return row.status(served.outcome);
}

}  // namespace

RequestStatus DispatchRequest(RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply,
                              audit::AuditSink* audit) {
  reply.Clear();
  const OpRow& row = FindOpRow(in.opCode);
  // Administrator policies only narrow: they are asked first. In audit-only mode they refuse
  // nothing: what they would refuse is recorded, and the request goes on.
  const std::shared_ptr<const policy::EffectivePolicy> adminPolicy = ops.AdminPolicy();
  const Answering answering{row, in, adminPolicy->audit ? audit : nullptr, adminPolicy->auditOnly ? audit : nullptr};
  const std::optional<policy::PolicyRefusal> byPolicy = JudgeByAdminPolicy(*adminPolicy, in);
  if (byPolicy && !adminPolicy->auditOnly) return RefuseByPolicy(answering, *byPolicy);
  if (byPolicy) {
    Record(answering.wouldRefuse, answering, audit::EventOfPolicy(byPolicy->policy, audit::EventKind::WouldRefuse),
           byPolicy->line);
  }
  const RequestStatus status = StatusOf(answering, row.serve(row, ops, in, reply));
  if (status != RequestStatus::Success) reply.Clear();
  if (reply.source) reply.unloadedStatus = static_cast<int32_t>(row.unloaded);
  return status;
}

}  // namespace tarnvel::requests
