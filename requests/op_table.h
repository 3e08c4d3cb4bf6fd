// SPDX-License-Identifier: Apache-2.0
// The broker's ops, one row each: the op code from the protocol table, the step that judges
// its texts and runs its operation on what was judged (and so how its texts arrive and what
// its reply holds), how the operation's outcome maps to a status, and what its refusal line
// names. A new op is a row here, a judge if its texts are new (requests/judged.h), an
// operation (requests/operations.h) and its SDK call. Pure.
#pragma once
#include <cstdint>
#include "base/op_outcome.h"
#include "base/protocol.h"
#include "base/request_inputs.h"
#include "ipc/reply_body.h"
#include "policy/verdict.h"
#include "requests/operations.h"

namespace tarnvel::requests {

// What a row's step found: the verdict on the texts its op judges and, when they were
// allowed, what its operation reported.
struct Served {
  PolicyVerdict verdict = Allow;
  OpOutcome outcome;
};

struct OpRow;
using ServeStep = Served (*)(const OpRow& row, RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply);
using StatusMap = RequestStatus (*)(const OpOutcome& outcome);

struct OpRow {
  int32_t code;  // Code(RequestOp) of its protocol row; 0 for the row of codes not served
  ServeStep serve;
  StatusMap status;  // for an outcome with no name (named ones mean the same for every op)
  // The refusal line's words before its verdict ("shell open "), or, where `namesVerdict` is
  // false, the whole line's text ("copy tree denied").
  const char* refusal;
  bool namesVerdict;
  uint32_t maxReadBytes;  // the largest file a read brings back; 0 where the op reads none
  // The status of a reply whose text source cannot load what it is made of.
  RequestStatus unloaded;
  // Text B is judged as well as text A (the copies): a refusal's record names both.
  bool judgesTextB = false;
};

// The row of an op code. Codes the broker does not serve share one row, which judges text A
// as a registry key for reading (the general policy stage runs before the code is looked at)
// and then answers BadArgument.
const OpRow& FindOpRow(int32_t opCode);

}  // namespace tarnvel::requests
