// SPDX-License-Identifier: Apache-2.0
// The typed calls of include/tarnvel/host_client.h over the raw layer: each call is one
// request 6 (or 3), its reply read strictly.
#include "tarnvel/host_client.h"

#include <mutex>

#include "base/win_text.h"
#include "tools/host_client/host_client.h"
#include "tools/host_client/reply_text.h"

namespace tarnvel::host {
namespace {

enum Op : int32_t {
  OpReadString = 1,
  OpWriteString = 2,
  OpReadDword = 3,
  OpWriteDword = 4,
  OpDeleteValue = 5,
  OpDeleteKey = 6,
  OpDeleteTree = 7,
  OpKeyExists = 8,
  OpListKeys = 9,
  OpListValues = 10,
  OpPing = 11,
  OpReadQword = 12,
  OpWriteQword = 13,
  OpReadFile = 14,
  OpWriteFile = 15,
  OpFileExists = 16,
  OpDeleteFile = 17,
  OpShellOpen = 18,
  OpCopyTree = 20,
  OpCopyIn = 21,
  OpExport = 22,
  OpUrlCheck = 23,
  OpUrlPoll = 24,
};

CallError FromCallResult(CallResult r) {
  switch (r) {
    case CallResult::Ok:
      return CallError::None;
    case CallResult::TimedOut:
      return CallError::TimedOut;
    case CallResult::Broken:
      return CallError::Broken;
    case CallResult::Malformed:
      return CallError::Malformed;
    case CallResult::WrongReply:
      return CallError::WrongReply;
    case CallResult::WriteFailed:
      return CallError::WriteFailed;
    case CallResult::NotConnected:
      return CallError::NotStarted;
  }
  return CallError::Broken;
}

RequestStatus StatusOf(int32_t raw) {
  return raw >= 0 && raw <= 4 ? static_cast<RequestStatus>(raw) : RequestStatus::Failed;
}

template <class T, class U>
Result<T> Carry(const Result<U>& from) {
  Result<T> out;
  out.call = from.call;
  out.status = from.status;
  out.rawStatus = from.rawStatus;
  return out;
}

template <class T>
Result<T> BadText(Result<T> r) {
  r.call = CallError::BadReplyText;
  return r;
}

}  // namespace

struct Broker::Impl {
  std::mutex mutex;
  BrokerOptions options;
  BrokerProcess process;
  std::unique_ptr<HostConnection> conn;
  StartFailure failure = StartFailure::None;
  uint32_t windowsError = 0;
  uint32_t exitCode = 0;
  bool started = false;
  bool shutDown = false;
  ShutdownResult shutdown;

  // One request and its reply; the mutex is held by the caller.
  Result<Text> Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c) {
    Result<Text> out;
    if (!conn || !conn->IsOpen()) return out;
    Reply reply;
    out.call = FromCallResult(conn->Request(op, hive, a, b, c, options.timeoutMs, reply));
    // The protocol has no correlation field: once a call stops waiting for its reply (or the
    // stream is in doubt), the next reply read would be this request's. The connection ends.
    if (out.call != CallError::None) conn->Close();
    if (out.call != CallError::None) return out;
    out.rawStatus = reply.status;
    out.status = StatusOf(reply.status);
    out.value = std::move(reply.text);
    return out;
  }
};

Broker::Broker() : impl_(new Impl) {}

Broker::~Broker() { Shutdown(); }

bool Broker::Start(const BrokerOptions& options) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& m = *impl_;
  if (m.started) return false;
  m.started = true;
  m.options = options;
  if (m.options.pipeName.empty()) m.options.pipeName = MakeUniquePipeName(L"tarnvel");
  PointerWidth width = NativePointerWidth;
  if (options.handleBits == 32) width = PointerWidth::Bits32;
  if (options.handleBits == 64) width = PointerWidth::Bits64;
  m.conn.reset(new HostConnection(width));

  StartOptions start;
  start.exe = m.options.exe;
  start.pipeName = m.options.pipeName;
  start.hostPid = options.hostPid != 0 ? options.hostPid : GetCurrentProcessId();
  start.underDebugger = static_cast<bool>(options.onDebugLine);
  if (options.onDebugLine) {
    std::function<void(const std::string&)> deliver = options.onDebugLine;
    start.onDebugLine = [deliver](const std::string& line) {
      std::string s = line;
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      deliver(s);
    };
  }
  if (!m.process.Start(start)) {
    m.failure = StartFailure::CannotCreateProcess;
    m.windowsError = m.process.startError();
    m.shutDown = true;
    return false;
  }
  if (m.conn->Connect(m.options.pipeName, m.options.timeoutMs, &m.process)) return true;
  m.windowsError = m.conn->lastError();
  DWORD code = 0;
  if (m.process.WaitForExit(0, &code)) {
    m.failure = StartFailure::BrokerExited;
    m.exitCode = code;
  } else {
    m.failure = StartFailure::ConnectTimedOut;
    m.process.Terminate();
  }
  m.shutDown = true;
  return false;
}

StartFailure Broker::startFailure() const { return impl_->failure; }
uint32_t Broker::windowsError() const { return impl_->windowsError; }
uint32_t Broker::exitCode() const { return impl_->exitCode; }
uint32_t Broker::pid() const { return impl_->process.pid(); }
std::wstring Broker::pipeName() const { return impl_->options.pipeName; }

ShutdownResult Broker::Shutdown() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& m = *impl_;
  if (m.shutDown) return m.shutdown;
  m.shutDown = true;
  if (m.conn) m.conn->Close();
  DWORD code = 0;
  if (m.process.WaitForExit(m.options.timeoutMs, &code)) {
    m.shutdown.exited = true;
    m.shutdown.exitCode = code;
  } else if (m.process.process() != nullptr) {
    m.process.Terminate();
    m.shutdown.terminated = true;
  }
  return m.shutdown;
}

#define TARNVEL_LOCKED std::lock_guard<std::mutex> lock(impl_->mutex)

Result<std::wstring> Broker::Ping() {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpPing, 0, Text(), Text(), Text());
  Result<std::wstring> out = Carry<std::wstring>(r);
  out.value = ToWide(r.value);
  return out;
}

Result<std::wstring> Broker::ReadString(Hive hive, const std::wstring& key, const std::wstring& name) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpReadString, static_cast<int32_t>(hive), FromWide(key), FromWide(name), Text());
  Result<std::wstring> out = Carry<std::wstring>(r);
  out.value = ToWide(r.value);
  return out;
}

Result<uint32_t> Broker::ReadDword(Hive hive, const std::wstring& key, const std::wstring& name) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpReadDword, static_cast<int32_t>(hive), FromWide(key), FromWide(name), Text());
  Result<uint32_t> out = Carry<uint32_t>(r);
  if (r.ok() && !detail::ParseUnsigned32(r.value, out.value)) return BadText(out);
  return out;
}

Result<uint64_t> Broker::ReadQword(Hive hive, const std::wstring& key, const std::wstring& name) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpReadQword, static_cast<int32_t>(hive), FromWide(key), FromWide(name), Text());
  Result<uint64_t> out = Carry<uint64_t>(r);
  if (r.ok() && !detail::ParseUnsigned64(r.value, out.value)) return BadText(out);
  return out;
}

namespace {
Result<Done> NoValue(const Result<Text>& r) { return Carry<Done>(r); }
}  // namespace

Result<Done> Broker::WriteString(Hive hive, const std::wstring& key, const std::wstring& name,
                                 const std::wstring& text) {
  TARNVEL_LOCKED;
  return NoValue(
      impl_->Request(OpWriteString, static_cast<int32_t>(hive), FromWide(key), FromWide(name), FromWide(text)));
}

Result<Done> Broker::WriteDword(Hive hive, const std::wstring& key, const std::wstring& name, uint32_t value) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpWriteDword, static_cast<int32_t>(hive), FromWide(key), FromWide(name),
                                detail::DecimalText(value)));
}

Result<Done> Broker::WriteQword(Hive hive, const std::wstring& key, const std::wstring& name, uint64_t value) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpWriteQword, static_cast<int32_t>(hive), FromWide(key), FromWide(name),
                                detail::DecimalText(value)));
}

Result<Done> Broker::DeleteValue(Hive hive, const std::wstring& key, const std::wstring& name) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpDeleteValue, static_cast<int32_t>(hive), FromWide(key), FromWide(name), Text()));
}

Result<Done> Broker::DeleteKey(Hive hive, const std::wstring& key) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpDeleteKey, static_cast<int32_t>(hive), FromWide(key), Text(), Text()));
}

Result<Done> Broker::DeleteTree(Hive hive, const std::wstring& key) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpDeleteTree, static_cast<int32_t>(hive), FromWide(key), Text(), Text()));
}

namespace {
// Ops 8 and 16 answer "does not exist" with NotFound: that is a value, not a failure.
Result<bool> Existence(const Result<Text>& r) {
  Result<bool> out = Carry<bool>(r);
  if (r.call == CallError::None && (r.status == RequestStatus::Success || r.status == RequestStatus::NotFound)) {
    out.value = r.status == RequestStatus::Success;
    out.status = RequestStatus::Success;
  }
  return out;
}
}  // namespace

Result<bool> Broker::KeyExists(Hive hive, const std::wstring& key) {
  TARNVEL_LOCKED;
  return Existence(impl_->Request(OpKeyExists, static_cast<int32_t>(hive), FromWide(key), Text(), Text()));
}

Result<std::vector<std::wstring>> Broker::ListKeys(Hive hive, const std::wstring& key) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpListKeys, static_cast<int32_t>(hive), FromWide(key), Text(), Text());
  Result<std::vector<std::wstring>> out = Carry<std::vector<std::wstring>>(r);
  if (!r.ok()) return out;
  std::vector<Text> items;
  if (!detail::SplitList(r.value, items)) return BadText(out);
  for (const Text& t : items) out.value.push_back(ToWide(t));
  return out;
}

Result<std::vector<std::pair<std::wstring, std::wstring>>> Broker::ListValues(Hive hive, const std::wstring& key) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpListValues, static_cast<int32_t>(hive), FromWide(key), Text(), Text());
  Result<std::vector<std::pair<std::wstring, std::wstring>>> out =
      Carry<std::vector<std::pair<std::wstring, std::wstring>>>(r);
  if (!r.ok()) return out;
  std::vector<Text> items;
  if (!detail::SplitList(r.value, items) || items.size() % 2 != 0) return BadText(out);
  for (size_t i = 0; i < items.size(); i += 2) out.value.emplace_back(ToWide(items[i]), ToWide(items[i + 1]));
  return out;
}

Result<Done> Broker::CopyTree(Hive hive, const std::wstring& sourceKey, const std::wstring& destinationKey) {
  TARNVEL_LOCKED;
  return NoValue(
      impl_->Request(OpCopyTree, static_cast<int32_t>(hive), FromWide(sourceKey), FromWide(destinationKey), Text()));
}

Result<std::vector<uint8_t>> Broker::ReadDataFile(const std::wstring& path) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpReadFile, 0, FromWide(path), Text(), Text());
  Result<std::vector<uint8_t>> out = Carry<std::vector<uint8_t>>(r);
  if (r.ok() && !detail::DecodeHexText(r.value, out.value)) return BadText(out);
  return out;
}

Result<Done> Broker::WriteDataFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpWriteFile, 0, FromWide(path), Text(), detail::HexText(bytes)));
}

Result<bool> Broker::DataFileExists(const std::wstring& path) {
  TARNVEL_LOCKED;
  return Existence(impl_->Request(OpFileExists, 0, FromWide(path), Text(), Text()));
}

Result<Done> Broker::DeleteDataFile(const std::wstring& path) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpDeleteFile, 0, FromWide(path), Text(), Text()));
}

Result<Done> Broker::CopyIn(const std::wstring& source, const std::wstring& destination) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpCopyIn, 0, FromWide(source), FromWide(destination), Text()));
}

Result<Done> Broker::Export(const std::wstring& source, const std::wstring& destination) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpExport, 0, FromWide(source), FromWide(destination), Text()));
}

Result<Done> Broker::ShellOpen(const std::wstring& target) {
  TARNVEL_LOCKED;
  return NoValue(impl_->Request(OpShellOpen, 0, FromWide(target), Text(), Text()));
}

Result<uint32_t> Broker::StartUrlCheck(const std::wstring& url) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpUrlCheck, 0, FromWide(url), Text(), Text());
  Result<uint32_t> out = Carry<uint32_t>(r);
  if (r.ok() && !detail::ParseUnsigned32(r.value, out.value)) return BadText(out);
  return out;
}

Result<UrlCheckState> Broker::PollUrlCheck(uint32_t id) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(OpUrlPoll, 0, detail::DecimalText(id), Text(), Text());
  Result<UrlCheckState> out = Carry<UrlCheckState>(r);
  if (!r.ok()) return out;
  detail::PollKind kind = detail::PollKind::Pending;
  if (!detail::ParseUrlPoll(r.value, kind, out.value.number)) return BadText(out);
  out.value.kind = kind == detail::PollKind::Pending      ? UrlCheckState::Kind::Pending
                   : kind == detail::PollKind::HttpStatus ? UrlCheckState::Kind::HttpStatus
                                                          : UrlCheckState::Kind::Error;
  return out;
}

Result<PluginPipe> Broker::RequestPluginPipe(uint32_t pluginPid) {
  TARNVEL_LOCKED;
  Result<PluginPipe> out;
  Impl& m = *impl_;
  if (!m.conn || !m.conn->IsOpen()) return out;
  PluginPipeReply reply;
  out.call = FromCallResult(m.conn->RequestPluginPipe(pluginPid, m.options.timeoutMs, reply));
  if (out.call != CallError::None) m.conn->Close();  // as for requests: no stale reply later
  if (out.call != CallError::None) return out;
  out.status = RequestStatus::Success;
  out.rawStatus = 0;
  out.value.error = static_cast<uint32_t>(reply.error);
  out.value.handle = reply.handle;
  return out;
}

Result<RawReply> Broker::RawRequest(int32_t op, int32_t hive, const std::wstring& a, const std::wstring& b,
                                    const std::wstring& c) {
  TARNVEL_LOCKED;
  Result<Text> r = impl_->Request(op, hive, FromWide(a), FromWide(b), FromWide(c));
  Result<RawReply> out = Carry<RawReply>(r);
  out.value.status = r.rawStatus;
  out.value.text = ToWide(r.value);
  return out;
}

#undef TARNVEL_LOCKED

const char* CallErrorName(CallError e) {
  switch (e) {
    case CallError::None:
      return "none";
    case CallError::NotStarted:
      return "not started or connection ended";
    case CallError::TimedOut:
      return "no reply within the time-out";
    case CallError::Broken:
      return "pipe broken";
    case CallError::Malformed:
      return "malformed message";
    case CallError::WrongReply:
      return "wrong reply";
    case CallError::WriteFailed:
      return "write failed";
    case CallError::BadReplyText:
      return "reply text not of the expected form";
  }
  return "?";
}

const char* RequestStatusName(RequestStatus s) {
  switch (s) {
    case RequestStatus::Success:
      return "Success";
    case RequestStatus::NotFound:
      return "NotFound";
    case RequestStatus::Denied:
      return "Denied";
    case RequestStatus::Failed:
      return "Failed";
    case RequestStatus::BadArgument:
      return "BadArgument";
  }
  return "?";
}

}  // namespace tarnvel::host
