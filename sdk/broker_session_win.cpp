// SPDX-License-Identifier: Apache-2.0
#include "sdk/broker_session_win.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "base/wide_text_win.h"
#include "sdk/broker_path.h"

namespace tarnvel::sdk {
namespace {

int32_t ErrorOf(host::CallResult r) {
  switch (r) {
    case host::CallResult::Ok:
      return TARNVEL_CALL_NONE;
    case host::CallResult::TimedOut:
      return TARNVEL_CALL_TIMED_OUT;
    case host::CallResult::Broken:
      return TARNVEL_CALL_BROKEN;
    case host::CallResult::Malformed:
      return TARNVEL_CALL_MALFORMED;
    case host::CallResult::WrongReply:
      return TARNVEL_CALL_WRONG_REPLY;
    case host::CallResult::WriteFailed:
      return TARNVEL_CALL_WRITE_FAILED;
    case host::CallResult::NotConnected:
      return TARNVEL_CALL_NOT_STARTED;
  }
  return TARNVEL_CALL_BROKEN;
}

uint32_t Remaining(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<uint32_t>(std::min<ULONGLONG>(deadline - now, 0xFFFFFFFFu));
}

}  // namespace

BrokerSession::~BrokerSession() { Shutdown(0); }

void BrokerSession::OnLine(const std::string& raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  {
    std::lock_guard<std::mutex> lock(linesMutex_);
    lines_.push_back(line);
  }
  // The broker waits inside OutputDebugStringA until this returns, so the line is stored
  // before the reply it belongs to can be written.
  if (options_.onDebugLine) options_.onDebugLine(line);
}

std::vector<std::string> BrokerSession::TakeLines() {
  std::lock_guard<std::mutex> lock(linesMutex_);
  std::vector<std::string> out;
  out.swap(lines_);
  return out;
}

std::wstring BrokerSession::ModuleFolder() {
  HMODULE self = nullptr;
  // An address inside this DLL names it, whatever file name or folder it was loaded from.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&BrokerSession::ModuleFolder), &self)) {
    return std::wstring();
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

int32_t BrokerSession::Start(SessionOptions options) {
  {
    // Seen without waiting for a call in progress on the running broker.
    std::lock_guard<std::mutex> state(stateMutex_);
    if (running_) {
      info_.failure = TARNVEL_START_ALREADY_STARTED;
      info_.windowsError = 0;
      info_.exitCode = 0;
      return info_.failure;
    }
  }
  std::lock_guard<std::timed_mutex> lock(callMutex_);
  StartInfo info;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (running_) info.failure = TARNVEL_START_ALREADY_STARTED;  // another thread's start won
  }
  if (info.failure == TARNVEL_START_OK) {
    try {
      info.failure = Launch(std::move(options), info);
    } catch (const std::bad_alloc&) {
      info.failure = TARNVEL_START_OUT_OF_MEMORY;
    } catch (...) {
      // A thread the debug loop could not get, for one.
      info.failure = TARNVEL_START_CANNOT_CREATE_PROCESS;
    }
    if (info.failure != TARNVEL_START_OK) {
      // No broker is left running after a failed start, and its debug loop has ended, so the
      // next start may replace what it used.
      conn_.reset();
      process_.reset();
    }
  }
  std::lock_guard<std::mutex> state(stateMutex_);
  if (info.failure == TARNVEL_START_ALREADY_STARTED) {
    info_.failure = info.failure;
    info_.windowsError = 0;
    info_.exitCode = 0;
    return info.failure;
  }
  info_ = info;
  pipeName_ = options_.pipeName;
  callMs_ = options_.callMs;
  running_ = info.failure == TARNVEL_START_OK;
  if (running_) shutdown_ = ShutdownOutcome();
  return info.failure;
}

int32_t BrokerSession::Launch(SessionOptions options, StartInfo& info) {
  // The previous broker, if any, has been shut down; its debug loop ends here.
  conn_.reset();
  process_.reset();
  TakeLines();
  options_ = std::move(options);
  std::wstring exe;
  if (!ResolveBrokerPath(ModuleFolder(), options_.exe, exe)) return TARNVEL_START_BAD_OPTIONS;
  // "..\\broker\\TarnvelBroker.exe" beside the DLL: folded without the current directory,
  // which a full path does not consult.
  const DWORD units = GetFullPathNameW(exe.c_str(), 0, nullptr, nullptr);
  if (units != 0) {
    std::wstring full(units, L'\0');
    const DWORD n = GetFullPathNameW(exe.c_str(), units, &full[0], nullptr);
    if (n != 0 && n < units) exe.assign(full.c_str(), n);
  }
  options_.exe = exe;
  if (options_.pipeName.empty()) options_.pipeName = host::MakeUniquePipeName(L"tarnvel");
  ipc::PointerWidth width = ipc::NativePointerWidth;
  if (options_.handleBits == 32) width = ipc::PointerWidth::Bits32;
  if (options_.handleBits == 64) width = ipc::PointerWidth::Bits64;
  conn_.reset(new host::HostConnection(width));
  process_.reset(new host::BrokerProcess());

  host::StartOptions start;
  start.exe = options_.exe;
  start.pipeName = options_.pipeName;
  start.hostPid = options_.hostPid != 0 ? options_.hostPid : GetCurrentProcessId();
  start.underDebugger = options_.debugLines || static_cast<bool>(options_.onDebugLine);
  start.keepDebugLines = false;
  if (start.underDebugger) start.onDebugLine = [this](const std::string& line) { OnLine(line); };
  if (!process_->Start(start)) {
    info.windowsError = process_->startError();
    return TARNVEL_START_CANNOT_CREATE_PROCESS;
  }
  info.pid = process_->pid();
  if (conn_->Connect(options_.pipeName, options_.connectMs, process_.get())) {
    // Lines written while starting belong to no request.
    TakeLines();
    return TARNVEL_START_OK;
  }
  DWORD code = 0;
  if (process_->WaitForExit(0, &code)) {
    info.exitCode = code;
    return TARNVEL_START_BROKER_EXITED;
  }
  process_->Terminate();
  return TARNVEL_START_CONNECT_TIMED_OUT;
}

int32_t BrokerSession::Refuse(int32_t failure) {
  std::lock_guard<std::mutex> state(stateMutex_);
  info_ = running_ ? StartInfo{TARNVEL_START_ALREADY_STARTED, 0, 0, info_.pid} : StartInfo{failure, 0, 0, 0};
  return info_.failure;
}

StartInfo BrokerSession::Info() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  return info_;
}

std::wstring BrokerSession::PipeName() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  return pipeName_;
}

ULONGLONG BrokerSession::DeadlineOf(uint32_t timeoutMs) const {
  uint32_t ms = timeoutMs;
  if (ms == 0) {
    std::lock_guard<std::mutex> state(stateMutex_);
    ms = callMs_;
  }
  return GetTickCount64() + ms;
}

template <class ReadReply>
CallOutcome BrokerSession::Exchange(const std::vector<uint8_t>& bytes, ULONGLONG deadline, ReadReply read) {
  CallOutcome out;
  // Waiting for another thread's call is part of this call: when the deadline passes first,
  // nothing was written, so the connection stays as it was and in step.
  std::unique_lock<std::timed_mutex> lock(callMutex_, std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(Remaining(deadline)))) {
    out.error = TARNVEL_CALL_TIMED_OUT;
    return out;
  }
  if (!conn_ || !conn_->IsOpen()) return out;  // NotStarted
  // The encoder refuses a message beyond the format's bound; nothing is written then, and the
  // connection stays in step.
  if (bytes.empty()) {
    out.error = TARNVEL_CALL_TOO_LARGE;
    return out;
  }
  const uint32_t left = Remaining(deadline);
  if (left == 0) {
    out.error = TARNVEL_CALL_TIMED_OUT;
    return out;
  }
  TakeLines();  // lines between requests (none from this broker's server thread) are not this call's
  host::CallResult r = host::CallResult::WriteFailed;
  try {
    if (conn_->WriteRaw(bytes, left)) r = read(Remaining(deadline), out);
  } catch (...) {
    // Memory that ran out while the reply was read leaves the stream in doubt, as a time-out does.
    conn_->Close();
    throw;
  }
  if (r == host::CallResult::WriteFailed && !conn_->IsOpen()) r = host::CallResult::NotConnected;
  out.error = ErrorOf(r);
  // A call that stopped waiting, or a stream in doubt: the next reply read could be this
  // request's. The connection ends, and later calls answer NotStarted.
  if (out.error != TARNVEL_CALL_NONE) conn_->Close();
  out.debugLines = TakeLines();
  return out;
}

CallOutcome BrokerSession::Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c,
                                   uint32_t timeoutMs) {
  const ULONGLONG deadline = DeadlineOf(timeoutMs);
  const std::vector<uint8_t> bytes = host::HostConnection::EncodeRequest(op, hive, a, b, c);
  return Exchange(bytes, deadline, [this](uint32_t left, CallOutcome& out) {
    host::Reply reply;
    host::CallResult r = conn_->ReadReply(left, reply);
    if (r == host::CallResult::Ok) {
      out.status = reply.status;
      out.text = std::move(reply.text);
    }
    return r;
  });
}

CallOutcome BrokerSession::RequestPluginPipe(uint32_t pluginPid, uint32_t timeoutMs) {
  const ULONGLONG deadline = DeadlineOf(timeoutMs);
  std::vector<ipc::Param> params;
  params.push_back(ipc::Param::Int32(static_cast<int32_t>(pluginPid), ipc::Int32Kind4));
  const std::vector<uint8_t> bytes = host::HostConnection::Encode(host::PluginPipeRequestId, std::move(params));
  return Exchange(bytes, deadline, [this](uint32_t left, CallOutcome& out) {
    host::PluginPipeReply reply;
    host::CallResult r = conn_->ReadPluginPipeReply(left, reply);
    if (r == host::CallResult::Ok) {
      out.status = 0;
      out.pipeError = static_cast<uint32_t>(reply.error);
      out.pipeHandle = reply.handle;
    }
    return r;
  });
}

ShutdownOutcome BrokerSession::Shutdown(uint32_t timeoutMs) {
  std::lock_guard<std::timed_mutex> lock(callMutex_);
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (!running_) return shutdown_;
  }
  ShutdownOutcome outcome;
  if (conn_) conn_->Close();
  DWORD code = 0;
  if (process_ && process_->WaitForExit(timeoutMs != 0 ? timeoutMs : options_.shutdownMs, &code)) {
    outcome.exited = true;
    outcome.exitCode = code;
  } else if (process_ && process_->process() != nullptr) {
    process_->Terminate();
    outcome.terminated = true;
  }
  std::lock_guard<std::mutex> state(stateMutex_);
  running_ = false;
  shutdown_ = outcome;
  return shutdown_;
}

}  // namespace tarnvel::sdk
