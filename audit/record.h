// SPDX-License-Identifier: Apache-2.0
// One event-log record of a refusal: its ID and the four texts its message inserts (op, rule,
// target, host process id). The target comes from the requester and may be hostile: it is
// bounded and escaped so that the record cannot be forged or made to mislead a reader. Pure.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include "audit/event_ids.h"
#include "base/text.h"
#include "policy/admin_policy.h"

namespace tarnvel::audit {

struct AuditRecord {
  EventId id = EventId::Refused;
  Text op;      // the op's word ("shell-open"), or "op 57" for a code the broker does not serve
  Text rule;    // what refused it: the verdict's text, or the policy's line
  Text target;  // the judged text(s), already escaped and bounded by RecordTarget
};

// Where refusals go. The dispatcher writes to it only when auditing is on.
class AuditSink {
 public:
  virtual ~AuditSink() = default;
  virtual void Write(const AuditRecord& record) = 0;
};

// At most this many units of one escaped request text reach a record; a longer one is cut
// there and says how long it was ("%[cut: 40000 units]").
constexpr size_t MaxTargetUnits = 1024;

// A request text as a record shows it: '%' (a parameter insert to Event Viewer), '>' (the
// separator of two texts), control characters (newlines included), the line and paragraph
// separators, the bidirectional overrides and isolates, and lone surrogates become "%XX" or
// "%uXXXX"; everything else is kept. Nothing else in an escaped text starts with '%', so the
// form reads back exactly. Cut at `maxUnits` of output, never inside an escape or a pair.
Text EscapeForRecord(const Text& text, size_t maxUnits = MaxTargetUnits);

// The target of a refusal: the one judged text, or for the ops that judge two (the copies)
// "source > destination", each escaped and bounded by itself.
Text RecordTarget(const Text& first);
Text RecordTarget(const Text& first, const Text& second);

// The op's word from the protocol table.
Text RecordOp(int32_t opCode);

// The record of a refusal by an administrator policy (kind Refusal), or of what it would have
// refused in audit-only mode (WouldRefuse): the policy's own ID and line. `target` is raw.
AuditRecord PolicyRecord(const policy::PolicyRefusal& refusal, EventKind kind, const Text& op, const Text& target);

// The texts of %1 to %4, in order: op, rule, target, host process id (decimal). The rule is
// escaped too: a policy's line may carry a value an administrator wrote.
std::array<Text, 4> RecordStrings(const AuditRecord& record, uint32_t hostProcessId);

}  // namespace tarnvel::audit
