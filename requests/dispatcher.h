// SPDX-License-Identifier: Apache-2.0
// The decision path of a broker request, as pure code. Every byte here came from the host
// and may be hostile. The request's row (requests/op_table.h) judges its texts and runs its
// operation on what was judged; the dispatcher takes the steps every op shares: it writes
// the refusal line, and it alone turns the operation's outcome into a status.
#pragma once
#include "audit/record.h"
#include "base/protocol.h"
#include "base/request_inputs.h"
#include "ipc/reply_body.h"
#include "requests/operations.h"

namespace tarnvel::requests {

// `reply` is emptied first and holds the reply's text (or its source) afterwards; a request
// that did not succeed carries no text. Text C of a data-file write arrives as text or as
// the bytes its digits spell (RequestInputs::dataC). Where the administrator policies in
// force turn auditing on, every refusal is also one record in `audit`; in audit-only mode,
// so is what a policy would have refused. Without `audit`, or with both off, none is made.
[[nodiscard]] RequestStatus DispatchRequest(RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply,
                                            audit::AuditSink* audit = nullptr);

}  // namespace tarnvel::requests
