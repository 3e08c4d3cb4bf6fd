#include "requests/request_service.h"

#include <string>
#include <vector>
#include "base/debug_line.h"
#include "registry/key_policy.h"
#include "registry/reg_text.h"
#include "registry/registry_ops.h"
#include "requests/file_ops.h"
#include "requests/hex.h"
#include "requests/path_policy.h"
#include "requests/shell_open.h"
#include "requests/url_check.h"

namespace {

constexpr int32_t ReplyMessageId = 7;

void LogVerdict(const char* prefix, PolicyVerdict verdict) {
  std::string line = prefix;
  line += VerdictText(verdict);
  line += '\n';
  DebugLine(line.c_str());
}

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

bool IsAppDataFileOp(RequestOp op) {
  return op == RequestOp::ReadAppDataFile || op == RequestOp::WriteAppDataFile ||
         op == RequestOp::AppDataFileExists || op == RequestOp::DeleteAppDataFile;
}

RequestStatus CopyTree(int32_t hive, const Text& source, const Text& destination) {
  // Both keys are always judged, so one line covers either refusal.
  const PolicyVerdict from = CheckRegistryKey(hive, source, false);
  const PolicyVerdict to = CheckRegistryKey(hive, destination, true);
  if (from != Allow || to != Allow) {
    DebugLine("[TarnvelBroker] copy tree denied\n");
    return RequestStatus::Denied;
  }
  return ReadOutcome(CopyKeyTree(hive, source, destination));
}

// The operation behind an op code that the general policy stage allowed.
RequestStatus RunAllowed(RequestOp op, int32_t hive, const Text& a, const Text& b, const Text& c, Text& reply,
                         AppDataFileReader* fileReply) {
  if (IsValueOp(op) && !IsValidValueName(b)) return RequestStatus::BadArgument;
  switch (op) {
    case RequestOp::ReadString: {
      Text value;
      if (!ReadString(hive, a, b, value)) return RequestStatus::NotFound;
      reply = std::move(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteString:
      return WriteOutcome(WriteString(hive, a, b, c));
    case RequestOp::ReadDword: {
      uint32_t value = 0;
      if (!ReadDword(hive, a, b, value)) return RequestStatus::NotFound;
      reply = FormatUnsignedDecimal(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteDword:
      return WriteOutcome(WriteDword(hive, a, b, static_cast<uint32_t>(ParseSigned64Decimal(c))));
    case RequestOp::ReadQword: {
      uint64_t value = 0;
      if (!ReadQword(hive, a, b, value)) return RequestStatus::NotFound;
      reply = FormatUnsignedDecimal(value);
      return RequestStatus::Success;
    }
    case RequestOp::WriteQword:
      return WriteOutcome(WriteQword(hive, a, b, ParseUnsigned64Decimal(c)));
    case RequestOp::DeleteValue:
      return WriteOutcome(DeleteValue(hive, a, b));
    case RequestOp::DeleteKey:
      return WriteOutcome(DeleteKey(hive, a));
    case RequestOp::DeleteKeyTree:
      return WriteOutcome(DeleteKeyTree(hive, a));
    case RequestOp::KeyExists:
      return ReadOutcome(KeyExists(hive, a));
    case RequestOp::ListSubkeys:
    case RequestOp::ListValues: {
      std::vector<Text> items;
      const bool ok = op == RequestOp::ListSubkeys ? ListSubkeys(hive, a, items) : ListValues(hive, a, items);
      if (!ok) return RequestStatus::NotFound;
      reply = JoinNulTerminated(items);
      return RequestStatus::Success;
    }
    case RequestOp::ReadAppDataFile:
      return fileReply != nullptr ? fileReply->Open(a) : ReadAppDataFile(a, reply);
    case RequestOp::WriteAppDataFile:
      return WriteAppDataFile(a, c);
    case RequestOp::AppDataFileExists:
      return AppDataFileExists(a);
    case RequestOp::DeleteAppDataFile:
      return DeleteAppDataFile(a);
    default:
      return RequestStatus::BadArgument;  // op codes this service does not serve
  }
}

}  // namespace

RequestStatus DispatchRequest(int32_t opCode, int32_t hiveSelector, const Text& textA, const Text& textB,
                              const Text& textC, Text& replyText, AppDataFileReader* fileReply) {
  replyText.clear();
  const auto op = static_cast<RequestOp>(opCode);
  switch (op) {
    case RequestOp::Ping:
      replyText = AsciiText("pong");
      return RequestStatus::Success;
    case RequestOp::ShellOpen:
      return ShellOpen(textA);
    case RequestOp::StartHttpCheck:
      return StartHttpCheck(textA, replyText);
    case RequestOp::PollHttpCheck:
      return PollHttpCheck(textA, replyText);
    case RequestOp::CopyFileIn:
      return CopyFileIn(textA, textB);
    case RequestOp::ExportFile:
      return ExportFile(textA, textB);
    case RequestOp::CopyKeyTree:
      return CopyTree(hiveSelector, textA, textB);
    default:
      break;
  }

  // The general policy stage runs before the op code is examined, so unknown codes are
  // judged (as reads) too.
  const PolicyVerdict verdict = IsAppDataFileOp(op) ? CheckAppDataPath(textA, AppDataFolder())
                                                    : CheckRegistryKey(hiveSelector, textA, IsWriteOp(opCode));
  if (verdict != Allow) {
    LogVerdict("[TarnvelBroker] ", verdict);
    return RequestStatus::Denied;
  }
  return RunAllowed(op, hiveSelector, textA, textB, textC, replyText, fileReply);
}

void TarnvelBrokerRegistrySvc::OnRequest(const int32_t opCode, const int32_t hiveSelector, const Text& textA,
                                         const Text& textB, const Text& textC, int32_t& status,
                                         Text& replyText) {
  try {
    status = static_cast<int32_t>(DispatchRequest(opCode, hiveSelector, textA, textB, textC, replyText));
  } catch (...) {
    DebugLine("[TarnvelBroker] request threw; reported as failed\n");
    replyText.clear();
    status = static_cast<int32_t>(RequestStatus::Failed);
  }
}

int64_t TarnvelBrokerRegistrySvc::Serve(BrokerChannel& channel, Inputs& in) {
  if (in.opCode != static_cast<int32_t>(RequestOp::ReadAppDataFile)) return ServerTuple_5_2::Serve(channel, in);
  AppDataFileReader file;
  RequestStatus status = RequestStatus::Failed;
  Text reply;
  try {
    status = DispatchRequest(in.opCode, in.hiveSelector, in.textA, in.textB, in.textC, reply, &file);
  } catch (...) {
    DebugLine("[TarnvelBroker] request threw; reported as failed\n");
    status = RequestStatus::Failed;
    reply.clear();
  }
  if (status == RequestStatus::Success && file.isOpen()) return SendFileReply(channel, file);
  Param out[2];
  MsgParamConverter<7>::Build(static_cast<int32_t>(status), std::move(reply), out);
  return SendMsg(channel, ReplyMessageId, out, 2);
}

// The file is read into the reply's own payload and expanded to hex there: the message is
// the only copy of the text, and the file's bytes need no buffer of their own.
int64_t TarnvelBrokerRegistrySvc::SendFileReply(BrokerChannel& channel, AppDataFileReader& file) {
  RequestStatus status = RequestStatus::NotFound;
  {
    ipc::Encoder encoder(channel.width());
    bool built = false;
    try {
      encoder.Open(2);
      Param ok = Param::Int32(static_cast<int32_t>(RequestStatus::Success), Int32Kind2);
      uint8_t* text = encoder.Add(ok) ? encoder.AddString16Space(uint64_t{file.size()} * 2) : nullptr;
      if (text == nullptr) return ipc::ResultEncodeFailed;
      if (file.ReadInto(text)) {
        ExpandHexUtf16LeInPlace(text, file.size());
        encoder.Finish(ReplyMessageId);
        built = true;
      }
    } catch (...) {
      DebugLine("[TarnvelBroker] request threw; reported as failed\n");
      status = RequestStatus::Failed;
    }
    if (built) {
      return channel.transport()->Write(encoder.Bytes(), encoder.ByteCount()) ? ipc::ResultHandled
                                                                               : ipc::ResultWriteFailed;
    }
  }
  // As ReadAppDataFile answers a file that could not be read (or a reply that could not be
  // allocated): the status and an empty text.
  Param out[2];
  MsgParamConverter<7>::Build(static_cast<int32_t>(status), Text(), out);
  return SendMsg(channel, ReplyMessageId, out, 2);
}

TarnvelBrokerRegistrySvc& BrokerRequestService() {
  static TarnvelBrokerRegistrySvc* service = new TarnvelBrokerRegistrySvc();
  return *service;
}
