// SPDX-License-Identifier: Apache-2.0
#include "requests/dispatcher.h"

#include <string>
#include "base/debug_line.h"
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

// The request being answered, and where its refusal is recorded.
struct Answering {
  const OpRow& row;
  const RequestInputs& in;
  audit::AuditSink* audit;
};

// A refusal's record names the verdict even where the line does not ("copy tree denied").
void Record(const Answering& a, PolicyVerdict verdict) {
  if (a.audit == nullptr) return;
  audit::AuditRecord record;
  record.id = audit::EventOfVerdict(verdict);
  record.op = audit::RecordOp(a.in.opCode);
  record.rule = AsciiText(VerdictText(verdict));
  record.target = a.row.judgesTextB ? audit::RecordTarget(a.in.textA, a.in.textB) : audit::RecordTarget(a.in.textA);
  a.audit->Write(record);
}

RequestStatus Refuse(const Answering& a, PolicyVerdict verdict) {
  WriteLine(a.row.refusal, a.row.namesVerdict ? VerdictText(verdict) : "");
  Record(a, verdict);
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
  const RequestStatus status = StatusOf(Answering{row, in, audit}, row.serve(row, ops, in, reply));
  if (status != RequestStatus::Success) reply.Clear();
  if (reply.source) reply.unloadedStatus = static_cast<int32_t>(row.unloaded);
  return status;
}

}  // namespace tarnvel::requests
