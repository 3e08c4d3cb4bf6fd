// SPDX-License-Identifier: Apache-2.0
#include "requests/op_table.h"

#include <utility>
#include <vector>
#include "base/ascii.h"
#include "base/decimal.h"
#include "base/hex.h"
#include "base/nul_list.h"
#include "requests/path_policy.h"
#include "requests/url_check.h"

namespace tarnvel::requests {

namespace {

using ipc::ReplyBody;
using tarnvel::protocol::Code;

// ---- What an outcome is to the requester. Reads that fail find nothing; acts that fail failed.

RequestStatus AsRead(const OpOutcome& o) { return o.ok() ? RequestStatus::Success : RequestStatus::NotFound; }
RequestStatus AsAct(const OpOutcome& o) { return o.ok() ? RequestStatus::Success : RequestStatus::Failed; }
bool Missing(const OpOutcome& o) { return o.error == ErrorFileNotFound; }
bool MissingAt(const OpOutcome& o, OpStep step) { return Missing(o) && o.step == step; }
// What is already missing is deleted.
RequestStatus AsDelete(const OpOutcome& o) { return AsAct(Missing(o) ? OpOutcome{} : o); }
// A missing value is deleted, but a key that cannot be opened to delete one of its values is
// a failure.
RequestStatus AsValueDelete(const OpOutcome& o) { return AsAct(MissingAt(o, OpStep::Act) ? OpOutcome{} : o); }
// A tree whose key cannot be found is deleted; one that vanishes part-way is not.
RequestStatus AsTreeDelete(const OpOutcome& o) { return AsAct(MissingAt(o, OpStep::Open) ? OpOutcome{} : o); }
// A copy whose source is missing found nothing to copy.
RequestStatus AsCopy(const OpOutcome& o) { return MissingAt(o, OpStep::Open) ? RequestStatus::NotFound : AsAct(o); }

// ---- The steps the rows share.

// The operation runs only on an allowed judgement, on its value.
template <class Value, class Act>
Served Judged(const Judgement<Value>& judgement, Act act) {
  if (!judgement.allowed()) return Served{judgement.verdict(), {}};
  return Served{Allow, act(*judgement)};
}

// Registry ops: text A is the key, judged for writing where the protocol table says so
// (codes it does not hold as reads).
template <class Act>
Served OnKey(const RequestInputs& in, Act act) {
  return Judged(JudgeKey(in.hiveSelector, in.textA, IsWriteOp(in.opCode)), act);
}

// Value ops: text B is the value's name, checked once the key is allowed.
template <class Act>
Served OnValue(const RequestInputs& in, Act act) {
  return OnKey(in, [&](const JudgedKey& key) {
    return IsValidValueName(in.textB) ? act(key, in.textB) : NamedOutcome(OpNamed::BadArgument);
  });
}

// Data-file ops: text A inside a plug-in folder of the data folder.
template <class Act>
Served OnDataPath(RequestOperations& ops, const RequestInputs& in, Act act) {
  const Text folder = ops.DataFolder();
  return Judged(JudgeDataPath(in.textA, folder), [&](const JudgedDataPath& path) { return act(path, folder); });
}

// A number read answers with its decimal text. The number is passed once the read is done:
// the order in which a call's arguments are made is not fixed.
template <class Number>
OpOutcome NumberReply(OpOutcome outcome, Number value, ReplyBody& reply) {
  if (outcome.ok()) reply.text = FormatUnsignedDecimal(value);
  return outcome;
}
template <class Number>
using NumberRead = OpOutcome (RequestOperations::*)(const JudgedKey&, const Text&, Number&);

// A name holding a NUL (another program can make one through the native calls) would come out
// of the NUL-separated list as two elements: such names are left out, a value's with its
// data (every `stride`-th item is a name).
OpOutcome ListReply(OpOutcome outcome, std::vector<Text>& items, size_t stride, ReplyBody& reply) {
  size_t kept = 0;
  for (size_t i = 0; i + stride <= items.size(); i += stride) {
    if (HasNul(items[i])) continue;
    if (kept != i) {
      for (size_t k = 0; k < stride; ++k) items[kept + k] = std::move(items[i + k]);
    }
    kept += stride;
  }
  items.resize(kept);
  if (outcome.ok()) reply.text = JoinNulTerminated(items);
  return outcome;
}

// ---- One step per op: its judgement, its operation, its reply.

Served Ping(const OpRow&, RequestOperations&, const RequestInputs&, ReplyBody& reply) {
  reply.text = AsciiText("pong");
  return Served{};
}

Served ReadString(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) { return ops.ReadString(key, name, reply.text); });
}
Served WriteString(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) { return ops.WriteString(key, name, in.textC); });
}
template <class Number, NumberRead<Number> Read>
Served ReadNumber(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) {
    Number value = 0;
    const OpOutcome outcome = (ops.*Read)(key, name, value);
    return NumberReply(outcome, value, reply);
  });
}
Served WriteDword(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) {
    return ops.WriteDword(key, name, static_cast<uint32_t>(ParseSigned64Decimal(in.textC)));
  });
}
Served WriteQword(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) {
    return ops.WriteQword(key, name, ParseUnsigned64Decimal(in.textC));
  });
}
Served DeleteValue(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnValue(in, [&](const JudgedKey& key, const Text& name) { return ops.DeleteValue(key, name); });
}
Served DeleteKey(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnKey(in, [&](const JudgedKey& key) { return ops.DeleteKey(key); });
}
Served DeleteKeyTree(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnKey(in, [&](const JudgedKey& key) { return ops.DeleteKeyTree(key); });
}
Served KeyExists(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnKey(in, [&](const JudgedKey& key) { return ops.KeyExists(key); });
}
Served ListSubkeys(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return OnKey(in, [&](const JudgedKey& key) {
    std::vector<Text> names;
    return ListReply(ops.ListSubkeys(key, names), names, 1, reply);
  });
}
Served ListValues(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return OnKey(in, [&](const JudgedKey& key) {
    std::vector<Text> namesAndData;
    return ListReply(ops.ListValues(key, namesAndData), namesAndData, 2, reply);
  });
}
// Both keys are always judged, so one line covers either refusal.
Served CopyKeyTree(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  const Judgement<JudgedKey> from = JudgeKey(in.hiveSelector, in.textA, false);
  const Judgement<JudgedKey> to = JudgeKey(in.hiveSelector, in.textB, true);
  if (!from.allowed()) return Served{from.verdict(), {}};
  return Judged(to, [&](const JudgedKey& destination) { return ops.CopyKeyTree(*from, destination); });
}

Served ReadDataFile(const OpRow& row, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return OnDataPath(ops, in, [&](const JudgedDataPath& path, const Text&) {
    return ops.ReadDataFile(path, row.maxReadBytes, reply);
  });
}
// Text C is the data in hexadecimal: the bytes its digits spell, taken so while the message
// arrived, or decoded here when it came as text. It is checked whole before anything is written.
Served WriteDataFile(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnDataPath(ops, in, [&](const JudgedDataPath& path, const Text& folder) {
    DecodedHex decodedHere;
    if (!in.dataC) decodedHere.wellFormed = DecodeHex(in.textC, decodedHere.bytes);
    const DecodedHex& data = in.dataC ? *in.dataC : decodedHere;
    if (!data.wellFormed) return NamedOutcome(OpNamed::BadArgument);
    // Its temporary file would land beside the plug-in folders, where nothing was allowed.
    if (IsDataFolderItself(in.textA, folder)) return OpOutcome{ErrorAccessDenied, OpStep::Open};
    return ops.WriteDataFile(path, data.bytes);
  });
}
Served DataFileExists(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnDataPath(ops, in, [&](const JudgedDataPath& path, const Text&) { return ops.DataFileExists(path); });
}
Served DeleteDataFile(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return OnDataPath(ops, in, [&](const JudgedDataPath& path, const Text&) { return ops.DeleteDataFile(path); });
}

Served ShellOpen(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  return Judged(JudgeShellTarget(in.textA), [&](const JudgedShellTarget& target) { return ops.ShellOpen(target); });
}

// Copy-in judges its destination, export its source, each as the long-path expansion gives
// it: that expanded text is the one the act then uses.
Served CopyFileIn(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  const Text destination = ops.ExpandLongPath(in.textB);
  return Judged(JudgeCopyIn(in.textA, destination, ops.TempFolder()),
                [&](const JudgedCopy& copy) { return ops.CopyFileIn(copy); });
}
Served ExportFile(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody&) {
  const Text source = ops.ExpandLongPath(in.textA);
  return Judged(JudgeExport(source, in.textB, ops.TempFolder()),
                [&](const JudgedCopy& copy) { return ops.ExportFile(copy); });
}

Served StartHttpCheck(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  return Judged(JudgeUrl(in.textA, ops.AdminPolicy()), [&](const JudgedUrl& url) {
    uint32_t id = 0;
    const OpOutcome outcome = ops.StartHttpCheck(url, id);
    return NumberReply(outcome, id, reply);
  });
}
// The id is no policy's business: a malformed one is a bad argument.
Served PollHttpCheck(const OpRow&, RequestOperations& ops, const RequestInputs& in, ReplyBody& reply) {
  uint32_t id = 0;
  if (!ParseHttpCheckId(in.textA, id)) return Served{Allow, NamedOutcome(OpNamed::BadArgument)};
  return Served{Allow, ops.PollHttpCheck(id, reply.text)};
}

Served NotServed(const OpRow&, RequestOperations&, const RequestInputs& in, ReplyBody&) {
  return OnKey(in, [](const JudgedKey&) { return NamedOutcome(OpNamed::BadArgument); });
}

// A data-file read brings back at most 4 MiB; a larger file is not found.
constexpr uint32_t MaxDataFileReadBytes = 0x400000;

constexpr OpRow Row(RequestOp op, ServeStep serve, StatusMap status, const char* refusal = "") {
  return OpRow{Code(op), serve, status, refusal, true, 0, RequestStatus::Failed};
}
// The copies judge a source and a destination.
constexpr OpRow CopyRow(RequestOp op, ServeStep serve, const char* refusal) {
  return OpRow{Code(op), serve, AsCopy, refusal, true, 0, RequestStatus::Failed, true};
}

constexpr OpRow kRows[] = {
    Row(RequestOp::Ping, Ping, AsRead),
    Row(RequestOp::ReadString, ReadString, AsRead),
    Row(RequestOp::WriteString, WriteString, AsAct),
    Row(RequestOp::ReadDword, ReadNumber<uint32_t, &RequestOperations::ReadDword>, AsRead),
    Row(RequestOp::WriteDword, WriteDword, AsAct),
    Row(RequestOp::DeleteValue, DeleteValue, AsValueDelete),
    Row(RequestOp::DeleteKey, DeleteKey, AsDelete),
    Row(RequestOp::DeleteKeyTree, DeleteKeyTree, AsTreeDelete),
    Row(RequestOp::KeyExists, KeyExists, AsRead),
    Row(RequestOp::ListSubkeys, ListSubkeys, AsRead),
    Row(RequestOp::ListValues, ListValues, AsRead),
    Row(RequestOp::ReadQword, ReadNumber<uint64_t, &RequestOperations::ReadQword>, AsRead),
    Row(RequestOp::WriteQword, WriteQword, AsAct),
    // A file that cannot then be read whole is not found either, as one that does not open.
    {Code(RequestOp::ReadAppDataFile), ReadDataFile, AsRead, "", true, MaxDataFileReadBytes, RequestStatus::NotFound},
    Row(RequestOp::WriteAppDataFile, WriteDataFile, AsAct),
    Row(RequestOp::AppDataFileExists, DataFileExists, AsRead),
    Row(RequestOp::DeleteAppDataFile, DeleteDataFile, AsDelete),
    Row(RequestOp::ShellOpen, ShellOpen, AsAct, "shell open "),
    {Code(RequestOp::CopyKeyTree), CopyKeyTree, AsRead, "copy tree denied", false, 0, RequestStatus::Failed, true},
    CopyRow(RequestOp::CopyFileIn, CopyFileIn, "file copy "),
    CopyRow(RequestOp::ExportFile, ExportFile, "file export "),
    Row(RequestOp::StartHttpCheck, StartHttpCheck, AsAct, "http check "),
    Row(RequestOp::PollHttpCheck, PollHttpCheck, AsRead),
};

constexpr OpRow kNotServed{0, NotServed, AsRead, "", true, 0, RequestStatus::Failed};

constexpr const OpRow* RowOf(int32_t code) {
  for (const OpRow& row : kRows) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

// Every op of the protocol table is served by exactly one row, and nothing else is.
constexpr bool RowsMatchTheProtocolTable() {
  if (sizeof kRows / sizeof kRows[0] != sizeof tarnvel::protocol::kOps / sizeof tarnvel::protocol::kOps[0]) {
    return false;
  }
  for (const tarnvel::protocol::OpInfo& info : tarnvel::protocol::kOps) {
    if (RowOf(Code(info.op)) == nullptr) return false;
  }
  return true;
}
static_assert(RowsMatchTheProtocolTable(), "one row per op of the protocol table");

}  // namespace

const OpRow& FindOpRow(int32_t opCode) {
  const OpRow* row = RowOf(opCode);
  return row != nullptr ? *row : kNotServed;
}

}  // namespace tarnvel::requests
