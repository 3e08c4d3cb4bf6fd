// SPDX-License-Identifier: Apache-2.0
#include "requests/request_service.h"

#include "base/debug_line.h"
#include "registry/registry_ops.h"
#include "requests/file_ops.h"
#include "base/hex.h"
#include "requests/path_policy.h"
#include "requests/shell_open.h"
#include "requests/url_check.h"

namespace {

// The system's operations behind the dispatcher. A judged value that was not allowed is
// never acted on, even should a caller hand one over: the operations below refuse it.
class SystemRequestOperations : public RequestOperations {
 public:
  Text DataFolder() override { return AppDataFolder(); }

  bool ReadString(const JudgedKey& k, const Text& name, Text& out) override { return ::ReadString(k, name, out); }
  bool WriteString(const JudgedKey& k, const Text& name, const Text& data) override {
    return ::WriteString(k, name, data);
  }
  bool ReadDword(const JudgedKey& k, const Text& name, uint32_t& out) override { return ::ReadDword(k, name, out); }
  bool WriteDword(const JudgedKey& k, const Text& name, uint32_t value) override {
    return ::WriteDword(k, name, value);
  }
  bool ReadQword(const JudgedKey& k, const Text& name, uint64_t& out) override { return ::ReadQword(k, name, out); }
  bool WriteQword(const JudgedKey& k, const Text& name, uint64_t value) override {
    return ::WriteQword(k, name, value);
  }
  bool DeleteValue(const JudgedKey& k, const Text& name) override { return ::DeleteValue(k, name); }
  bool DeleteKey(const JudgedKey& k) override { return ::DeleteKey(k); }
  bool DeleteKeyTree(const JudgedKey& k) override { return ::DeleteKeyTree(k); }
  bool KeyExists(const JudgedKey& k) override { return ::KeyExists(k); }
  bool ListSubkeys(const JudgedKey& k, std::vector<Text>& names) override { return ::ListSubkeys(k, names); }
  bool ListValues(const JudgedKey& k, std::vector<Text>& namesAndData) override {
    return ::ListValues(k, namesAndData);
  }
  bool CopyKeyTree(const JudgedKey& from, const JudgedKey& to) override { return ::CopyKeyTree(from, to); }

  RequestStatus ReadDataFile(const JudgedDataPath& p, Text& reply) override {
    return p.allowed() ? ReadAppDataFile(p.path(), reply) : RequestStatus::Denied;
  }
  RequestStatus WriteDataFile(const JudgedDataPath& p, const Text& hexData) override {
    return p.allowed() ? WriteAppDataFile(p.path(), hexData) : RequestStatus::Denied;
  }
  RequestStatus DataFileExists(const JudgedDataPath& p) override {
    return p.allowed() ? AppDataFileExists(p.path()) : RequestStatus::Denied;
  }
  RequestStatus DeleteDataFile(const JudgedDataPath& p) override {
    return p.allowed() ? DeleteAppDataFile(p.path()) : RequestStatus::Denied;
  }

  RequestStatus ShellOpen(const Text& target) override { return ::ShellOpen(target); }
  RequestStatus CopyFileIn(const Text& source, const Text& destination) override {
    return ::CopyFileIn(source, destination);
  }
  RequestStatus ExportFile(const Text& source, const Text& destination) override {
    return ::ExportFile(source, destination);
  }
  RequestStatus StartHttpCheck(const Text& url, Text& reply) override { return ::StartHttpCheck(url, reply); }
  RequestStatus PollHttpCheck(const Text& idText, Text& reply) override { return ::PollHttpCheck(idText, reply); }
};

// Op 14 for a reply built in place: the allowed file is only opened here, and its bytes go
// straight into the reply message.
class FileReplyOperations final : public SystemRequestOperations {
 public:
  explicit FileReplyOperations(AppDataFileReader& file) : file_(file) {}
  RequestStatus ReadDataFile(const JudgedDataPath& p, Text&) override {
    return p.allowed() ? file_.Open(p.path()) : RequestStatus::Denied;
  }

 private:
  AppDataFileReader& file_;
};

}  // namespace

RequestOperations& SystemOperations() {
  static SystemRequestOperations* ops = new SystemRequestOperations();
  return *ops;
}

RequestStatus DispatchRequest(int32_t opCode, int32_t hiveSelector, const Text& textA, const Text& textB,
                              const Text& textC, Text& replyText) {
  return DispatchRequest(SystemOperations(), opCode, hiveSelector, textA, textB, textC, replyText);
}

void TarnvelBrokerRegistrySvc::OnRequest(const int32_t opCode, const int32_t hiveSelector, const Text& textA,
                                         const Text& textB, const Text& textC, int32_t& status, Text& replyText) {
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
    FileReplyOperations ops(file);
    status = DispatchRequest(ops, in.opCode, in.hiveSelector, in.textA, in.textB, in.textC, reply);
  } catch (...) {
    DebugLine("[TarnvelBroker] request threw; reported as failed\n");
    status = RequestStatus::Failed;
    reply.clear();
  }
  if (status == RequestStatus::Success && file.isOpen()) return SendFileReply(channel, file);
  Param out[2];
  MsgParamConverter<MessageId::Reply>::Build(static_cast<int32_t>(status), std::move(reply), out);
  return SendMsg(channel, MessageId::Reply, out, 2);
}

// The file is read into the reply's own payload and expanded to hex there: the message is
// the only copy of the text, and the file's bytes need no buffer of their own.
int64_t TarnvelBrokerRegistrySvc::SendFileReply(BrokerChannel& channel, AppDataFileReader& file) {
  RequestStatus status = RequestStatus::NotFound;
  {
    ipc::Encoder encoder(channel.width(), channel.replyWords());
    bool built = false;
    try {
      encoder.Open(2);
      Param ok = Param::Int32(static_cast<int32_t>(RequestStatus::Success), Int32Kind2);
      uint8_t* text = encoder.Add(ok) ? encoder.AddString16Space(uint64_t{file.size()} * 2) : nullptr;
      if (text == nullptr) {
        // No message can carry it: a failed request, and the connection goes on.
        status = RequestStatus::Failed;
      } else if (file.ReadInto(text)) {
        ExpandHexUtf16LeInPlace(text, file.size());
        encoder.Finish(MessageId::Reply);
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
  MsgParamConverter<MessageId::Reply>::Build(static_cast<int32_t>(status), Text(), out);
  return SendMsg(channel, MessageId::Reply, out, 2);
}

TarnvelBrokerRegistrySvc& BrokerRequestService() {
  static TarnvelBrokerRegistrySvc* service = new TarnvelBrokerRegistrySvc();
  return *service;
}
