// SPDX-License-Identifier: Apache-2.0
#include "requests/dispatcher.h"

#include <string>
#include <utility>
#include "base/debug_line.h"
#include "base/decimal.h"
#include "base/ascii.h"
#include "base/hex.h"
#include "base/nul_list.h"
#include "requests/path_policy.h"

namespace tarnvel::requests {

namespace {

// Writes "[TarnvelBroker] <what><verdict text>\n" as one debugger line.
void WriteRefusalLine(const char* what, PolicyVerdict verdict) {
  std::string line = "[TarnvelBroker] ";
  line += what;
  line += VerdictText(verdict);
  line += '\n';
  DebugLine(line.c_str());
}

bool IsValueOp(RequestOp op) {
  switch (op) {
    case RequestOp::ReadString:
    case RequestOp::WriteString:
    case RequestOp::ReadDword:
    case RequestOp::WriteDword:
    case RequestOp::DeleteValue:
    case RequestOp::ReadQword:
    case RequestOp::WriteQword:
      return true;
    default:
      return false;
  }
}

bool IsDataFileOp(RequestOp op) {
  return op == RequestOp::ReadAppDataFile || op == RequestOp::WriteAppDataFile || op == RequestOp::AppDataFileExists ||
         op == RequestOp::DeleteAppDataFile;
}

// The one place a registry operation's Win32 error becomes a status. Reads that fail find
// nothing; writes that fail failed. A value or key that is already missing is deleted, but
// a key that cannot be opened to delete one of its values is a failure.
RequestStatus RegistryStatus(RequestOp op, const RegistryResult& r) {
  const bool missing = r.error == RegistryFileNotFound;
  switch (op) {
    case RequestOp::WriteString:
    case RequestOp::WriteDword:
    case RequestOp::WriteQword:
      return r.ok() ? RequestStatus::Success : RequestStatus::Failed;
    case RequestOp::DeleteValue:
      return r.ok() || (missing && r.step == RegistryStep::Act) ? RequestStatus::Success : RequestStatus::Failed;
    case RequestOp::DeleteKey:
      return r.ok() || missing ? RequestStatus::Success : RequestStatus::Failed;
    case RequestOp::DeleteKeyTree:
      return r.ok() || (missing && r.step == RegistryStep::Open) ? RequestStatus::Success : RequestStatus::Failed;
    default:
      return r.ok() ? RequestStatus::Success : RequestStatus::NotFound;
  }
}

// A name holding a NUL (another program can make one through the native calls) would come out
// of the NUL-separated list as two elements: such names are left out, a value's with its
// data (every `stride`-th item is a name).
void LeaveOutNamesWithNul(std::vector<Text>& items, size_t stride) {
  size_t kept = 0;
  for (size_t i = 0; i + stride <= items.size(); i += stride) {
    if (HasNul(items[i])) continue;
    if (kept != i) {
      for (size_t k = 0; k < stride; ++k) items[kept + k] = std::move(items[i + k]);
    }
    kept += stride;
  }
  items.resize(kept);
}

RequestStatus CopyTree(RequestOperations& ops, int32_t hive, const Text& source, const Text& destination) {
  // Both keys are always judged, so one line covers either refusal.
  const Judgement<JudgedKey> from = JudgeKey(hive, source, false);
  const Judgement<JudgedKey> to = JudgeKey(hive, destination, true);
  if (!from.allowed() || !to.allowed()) {
    DebugLine("[TarnvelBroker] copy tree denied\n");
    return RequestStatus::Denied;
  }
  return RegistryStatus(RequestOp::CopyKeyTree, ops.CopyKeyTree(*from, *to));
}

RequestStatus ShellOpen(RequestOperations& ops, const Text& target) {
  const Judgement<JudgedShellTarget> judged = JudgeShellTarget(target);
  if (!judged.allowed()) {
    WriteRefusalLine("shell open ", judged.verdict());
    return RequestStatus::Denied;
  }
  return ops.ShellOpen(*judged);
}

RequestStatus StartHttpCheck(RequestOperations& ops, const Text& url, Text& reply) {
  const Judgement<JudgedUrl> judged = JudgeUrl(url);
  if (!judged.allowed()) {
    WriteRefusalLine("http check ", judged.verdict());
    return RequestStatus::Denied;
  }
  uint32_t id = 0;
  switch (ops.StartHttpCheck(*judged, id)) {
    case HttpCheckStart::Started:
      reply = FormatUnsignedDecimal(id);
      return RequestStatus::Success;
    case HttpCheckStart::TooMany:
      DebugLine("[TarnvelBroker] http check refused: too many outstanding\n");
      return RequestStatus::Failed;
    default:
      return RequestStatus::Failed;
  }
}

RequestStatus PollHttpCheck(RequestOperations& ops, const Text& idText, Text& reply) {
  uint32_t id = 0;
  if (!ParseHttpCheckId(idText, id)) return RequestStatus::BadArgument;
  return ops.PollHttpCheck(id, reply);
}

// Copy-in judges its destination, export its source, each as the long-path expansion gives
// it: that expanded text is the one the act then uses.
RequestStatus Copy(RequestOperations& ops, RequestOp op, const Text& source, const Text& destination) {
  const bool in = op == RequestOp::CopyFileIn;
  const char* what = in ? "file copy " : "file export ";
  const Text expanded = ops.ExpandLongPath(in ? destination : source);
  const Text temp = ops.TempFolder();
  const Judgement<JudgedCopy> judged =
      in ? JudgeCopyIn(source, expanded, temp) : JudgeExport(expanded, destination, temp);
  if (!judged.allowed()) {
    WriteRefusalLine(what, judged.verdict());
    return RequestStatus::Denied;
  }
  switch (in ? ops.CopyFileIn(*judged) : ops.ExportFile(*judged)) {
    case CopyOutcome::Copied:
      return RequestStatus::Success;
    case CopyOutcome::SourceMissing:
      return RequestStatus::NotFound;
    case CopyOutcome::NotAtJudgedPath:
      // The file opened is not the one judged: it leads out of the temporary folder, or a
      // copy-in source's real name has another extension.
      WriteRefusalLine(what, OutsideSubtree);
      return RequestStatus::Denied;
    default:
      return RequestStatus::Failed;
  }
}

// `data`: text C as the bytes its digits spell, when it arrived that way; else decoded here.
RequestStatus DataFileOp(RequestOperations& ops, RequestOp op, const Text& a, const Text& c, const DecodedHex* data,
                         ipc::ReplyBody& reply) {
  const Text dataFolder = ops.DataFolder();
  const Judgement<JudgedDataPath> path = JudgeDataPath(a, dataFolder);
  if (!path.allowed()) {
    WriteRefusalLine("", path.verdict());
    return RequestStatus::Denied;
  }
  switch (op) {
    case RequestOp::ReadAppDataFile:
      return ops.ReadDataFile(*path, reply);
    case RequestOp::WriteAppDataFile: {
      DecodedHex decodedHere;
      if (data == nullptr) {
        decodedHere.wellFormed = DecodeHex(c, decodedHere.bytes);
        data = &decodedHere;
      }
      if (!data->wellFormed) return RequestStatus::BadArgument;
      // Its temporary file would land beside the plug-in folders, where nothing was allowed.
      if (IsDataFolderItself(a, dataFolder)) return RequestStatus::Failed;
      return ops.WriteDataFile(*path, data->bytes);
    }
    case RequestOp::AppDataFileExists:
      return ops.DataFileExists(*path);
    default:
      return ops.DeleteDataFile(*path);
  }
}

RequestStatus RegistryOp(RequestOperations& ops, RequestOp op, const JudgedKey& key, const Text& b, const Text& c,
                         Text& reply) {
  if (IsValueOp(op) && !IsValidValueName(b)) return RequestStatus::BadArgument;
  RegistryResult result;
  switch (op) {
    case RequestOp::ReadString: {
      Text value;
      result = ops.ReadString(key, b, value);
      if (result.ok()) reply = std::move(value);
      break;
    }
    case RequestOp::WriteString:
      result = ops.WriteString(key, b, c);
      break;
    case RequestOp::ReadDword: {
      uint32_t value = 0;
      result = ops.ReadDword(key, b, value);
      if (result.ok()) reply = FormatUnsignedDecimal(value);
      break;
    }
    case RequestOp::WriteDword:
      result = ops.WriteDword(key, b, static_cast<uint32_t>(ParseSigned64Decimal(c)));
      break;
    case RequestOp::ReadQword: {
      uint64_t value = 0;
      result = ops.ReadQword(key, b, value);
      if (result.ok()) reply = FormatUnsignedDecimal(value);
      break;
    }
    case RequestOp::WriteQword:
      result = ops.WriteQword(key, b, ParseUnsigned64Decimal(c));
      break;
    case RequestOp::DeleteValue:
      result = ops.DeleteValue(key, b);
      break;
    case RequestOp::DeleteKey:
      result = ops.DeleteKey(key);
      break;
    case RequestOp::DeleteKeyTree:
      result = ops.DeleteKeyTree(key);
      break;
    case RequestOp::KeyExists:
      result = ops.KeyExists(key);
      break;
    case RequestOp::ListSubkeys:
    case RequestOp::ListValues: {
      std::vector<Text> items;
      const bool subkeys = op == RequestOp::ListSubkeys;
      result = subkeys ? ops.ListSubkeys(key, items) : ops.ListValues(key, items);
      LeaveOutNamesWithNul(items, subkeys ? 1 : 2);
      if (result.ok()) reply = JoinNulTerminated(items);
      break;
    }
    default:
      return RequestStatus::BadArgument;  // op codes this service does not serve
  }
  return RegistryStatus(op, result);
}

RequestStatus Dispatch(RequestOperations& ops, int32_t opCode, int32_t hiveSelector, const Text& textA,
                       const Text& textB, const Text& textC, const DecodedHex* dataC, ipc::ReplyBody& reply) {
  reply.Clear();
  const auto op = static_cast<RequestOp>(opCode);
  switch (op) {
    case RequestOp::Ping:
      reply.text = AsciiText("pong");
      return RequestStatus::Success;
    case RequestOp::ShellOpen:
      return ShellOpen(ops, textA);
    case RequestOp::StartHttpCheck:
      return StartHttpCheck(ops, textA, reply.text);
    case RequestOp::PollHttpCheck:
      return PollHttpCheck(ops, textA, reply.text);
    case RequestOp::CopyFileIn:
    case RequestOp::ExportFile:
      return Copy(ops, op, textA, textB);
    case RequestOp::CopyKeyTree:
      return CopyTree(ops, hiveSelector, textA, textB);
    default:
      break;
  }

  // The general policy stage runs before the op code is examined, so unknown codes are
  // judged (as reads) too.
  if (IsDataFileOp(op)) return DataFileOp(ops, op, textA, textC, dataC, reply);
  const Judgement<JudgedKey> key = JudgeKey(hiveSelector, textA, IsWriteOp(opCode));
  if (!key.allowed()) {
    WriteRefusalLine("", key.verdict());
    return RequestStatus::Denied;
  }
  return RegistryOp(ops, op, *key, textB, textC, reply.text);
}

}  // namespace

RequestStatus DispatchRequest(RequestOperations& ops, const RequestInputs& in, ipc::ReplyBody& reply) {
  return Dispatch(ops, in.opCode, in.hiveSelector, in.textA, in.textB, in.textC, in.dataC ? &*in.dataC : nullptr,
                  reply);
}

RequestStatus DispatchRequest(RequestOperations& ops, int32_t opCode, int32_t hiveSelector, const Text& textA,
                              const Text& textB, const Text& textC, ipc::ReplyBody& reply) {
  return Dispatch(ops, opCode, hiveSelector, textA, textB, textC, nullptr, reply);
}

}  // namespace tarnvel::requests
