// SPDX-License-Identifier: Apache-2.0
#include "requests/dispatcher.h"

#include <string>
#include <utility>
#include "base/debug_line.h"
#include "base/decimal.h"
#include "base/nul_list.h"
#include "requests/path_policy.h"
#include "requests/url_check.h"

namespace {

RequestStatus ReadOutcome(bool ok) { return ok ? RequestStatus::Success : RequestStatus::NotFound; }
RequestStatus WriteOutcome(bool ok) { return ok ? RequestStatus::Success : RequestStatus::Failed; }

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

RequestStatus CopyTree(RequestOperations& ops, int32_t hive, const Text& source, const Text& destination) {
  // Both keys are always judged, so one line covers either refusal.
  const JudgedKey from = JudgeKey(hive, source, false);
  const JudgedKey to = JudgeKey(hive, destination, true);
  if (!from.allowed() || !to.allowed()) {
    DebugLine("[TarnvelBroker] copy tree denied\n");
    return RequestStatus::Denied;
  }
  return ReadOutcome(ops.CopyKeyTree(from, to));
}

RequestStatus RunDataFileOp(RequestOperations& ops, RequestOp op, const JudgedDataPath& path, const Text& c,
                            Text& reply) {
  switch (op) {
    case RequestOp::ReadAppDataFile:
      return ops.ReadDataFile(path, reply);
    case RequestOp::WriteAppDataFile:
      return ops.WriteDataFile(path, c);
    case RequestOp::AppDataFileExists:
      return ops.DataFileExists(path);
    default:
      return ops.DeleteDataFile(path);
  }
}

RequestStatus RunRegistryOp(RequestOperations& ops, RequestOp op, const JudgedKey& key, const Text& b, const Text& c,
                            Text& reply) {
  if (IsValueOp(op) && !IsValidValueName(b)) return RequestStatus::BadArgument;
  switch (op) {
    case RequestOp::ReadString: {
      Text value;
      if (!ops.ReadString(key, b, value)) return RequestStatus::NotFound;
      reply = std::move(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteString:
      return WriteOutcome(ops.WriteString(key, b, c));
    case RequestOp::ReadDword: {
      uint32_t value = 0;
      if (!ops.ReadDword(key, b, value)) return RequestStatus::NotFound;
      reply = FormatUnsignedDecimal(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteDword:
      return WriteOutcome(ops.WriteDword(key, b, static_cast<uint32_t>(ParseSigned64Decimal(c))));
    case RequestOp::ReadQword: {
      uint64_t value = 0;
      if (!ops.ReadQword(key, b, value)) return RequestStatus::NotFound;
      reply = FormatUnsignedDecimal(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteQword:
      return WriteOutcome(ops.WriteQword(key, b, ParseUnsigned64Decimal(c)));
    case RequestOp::DeleteValue:
      return WriteOutcome(ops.DeleteValue(key, b));
    case RequestOp::DeleteKey:
      return WriteOutcome(ops.DeleteKey(key));
    case RequestOp::DeleteKeyTree:
      return WriteOutcome(ops.DeleteKeyTree(key));
    case RequestOp::KeyExists:
      return ReadOutcome(ops.KeyExists(key));
    case RequestOp::ListSubkeys:
    case RequestOp::ListValues: {
      std::vector<Text> items;
      const bool ok = op == RequestOp::ListSubkeys ? ops.ListSubkeys(key, items) : ops.ListValues(key, items);
      if (!ok) return RequestStatus::NotFound;
      reply = JoinNulTerminated(items);
      return RequestStatus::Success;
    }
    default:
      return RequestStatus::BadArgument;  // op codes this service does not serve
  }
}

}  // namespace

JudgedDataPath JudgeDataPath(const Text& path, const Text& dataFolder) {
  return JudgedDataPath(path, CheckAppDataPath(path, dataFolder));
}

JudgedShellTarget JudgeShellTarget(const Text& target) { return JudgedShellTarget(target, CheckShellTarget(target)); }

JudgedUrl JudgeUrl(const Text& url) { return JudgedUrl(url, CheckHttpUrl(url)); }

JudgedCopy JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder) {
  return JudgedCopy(source, expandedDestination, tempFolder, CheckCopyIn(source, expandedDestination, tempFolder));
}

JudgedCopy JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder) {
  return JudgedCopy(expandedSource, destination, tempFolder, CheckExport(expandedSource, destination, tempFolder));
}

void WriteRefusalLine(const char* prefix, PolicyVerdict verdict) {
  std::string line = prefix;
  line += VerdictText(verdict);
  line += '\n';
  DebugLine(line.c_str());
}

RequestStatus DispatchRequest(RequestOperations& ops, int32_t opCode, int32_t hiveSelector, const Text& textA,
                              const Text& textB, const Text& textC, Text& replyText) {
  replyText.clear();
  const auto op = static_cast<RequestOp>(opCode);
  switch (op) {
    case RequestOp::Ping:
      replyText = AsciiText("pong");
      return RequestStatus::Success;
    case RequestOp::ShellOpen:
      return ops.ShellOpen(textA);
    case RequestOp::StartHttpCheck:
      return ops.StartHttpCheck(textA, replyText);
    case RequestOp::PollHttpCheck:
      return ops.PollHttpCheck(textA, replyText);
    case RequestOp::CopyFileIn:
      return ops.CopyFileIn(textA, textB);
    case RequestOp::ExportFile:
      return ops.ExportFile(textA, textB);
    case RequestOp::CopyKeyTree:
      return CopyTree(ops, hiveSelector, textA, textB);
    default:
      break;
  }

  // The general policy stage runs before the op code is examined, so unknown codes are
  // judged (as reads) too.
  if (IsDataFileOp(op)) {
    const JudgedDataPath path = JudgeDataPath(textA, ops.DataFolder());
    if (!path.allowed()) {
      WriteRefusalLine("[TarnvelBroker] ", path.verdict());
      return RequestStatus::Denied;
    }
    return RunDataFileOp(ops, op, path, textC, replyText);
  }
  const JudgedKey key = JudgeKey(hiveSelector, textA, IsWriteOp(opCode));
  if (!key.allowed()) {
    WriteRefusalLine("[TarnvelBroker] ", key.verdict());
    return RequestStatus::Denied;
  }
  return RunRegistryOp(ops, op, key, textB, textC, replyText);
}
