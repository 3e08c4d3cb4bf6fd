// SPDX-License-Identifier: Apache-2.0
#include "sdk/broker_session_win.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/wide_text_win.h"

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

int32_t BrokerSession::Start(SessionOptions options) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return TARNVEL_START_ALREADY_STARTED;
  started_ = true;
  int32_t failure = TARNVEL_START_CANNOT_CREATE_PROCESS;
  try {
    return StartLocked(std::move(options));
  } catch (const std::bad_alloc&) {
    failure = TARNVEL_START_OUT_OF_MEMORY;
  } catch (...) {
    // A thread the debug loop could not get, for one.
  }
  // No broker is left running after a failed start.
  if (process_.pid() != 0) process_.Terminate();
  info_.failure = failure;
  shutDown_ = true;
  return failure;
}

int32_t BrokerSession::StartLocked(SessionOptions options) {
  options_ = std::move(options);
  if (options_.pipeName.empty()) options_.pipeName = host::MakeUniquePipeName(L"tarnvel");
  PointerWidth width = NativePointerWidth;
  if (options_.handleBits == 32) width = PointerWidth::Bits32;
  if (options_.handleBits == 64) width = PointerWidth::Bits64;
  conn_.reset(new host::HostConnection(width));

  host::StartOptions start;
  start.exe = options_.exe;
  start.pipeName = options_.pipeName;
  start.hostPid = options_.hostPid != 0 ? options_.hostPid : GetCurrentProcessId();
  start.underDebugger = options_.debugLines || static_cast<bool>(options_.onDebugLine);
  start.keepDebugLines = false;
  if (start.underDebugger) start.onDebugLine = [this](const std::string& line) { OnLine(line); };
  if (!process_.Start(start)) {
    info_.failure = TARNVEL_START_CANNOT_CREATE_PROCESS;
    info_.windowsError = process_.startError();
    shutDown_ = true;
    return info_.failure;
  }
  info_.pid = process_.pid();
  if (conn_->Connect(options_.pipeName, options_.connectMs, &process_)) {
    // Lines written while starting belong to no request.
    TakeLines();
    return TARNVEL_START_OK;
  }
  info_.windowsError = conn_->lastError();
  DWORD code = 0;
  if (process_.WaitForExit(0, &code)) {
    info_.failure = TARNVEL_START_BROKER_EXITED;
    info_.exitCode = code;
  } else {
    info_.failure = TARNVEL_START_CONNECT_TIMED_OUT;
    process_.Terminate();
  }
  shutDown_ = true;
  return info_.failure;
}

int32_t BrokerSession::Refuse(int32_t failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return TARNVEL_START_ALREADY_STARTED;
  info_ = StartInfo();
  info_.failure = failure;
  return failure;
}

StartInfo BrokerSession::Info() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return info_;
}

std::wstring BrokerSession::PipeName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_.pipeName;
}

template <class ReadReply>
CallOutcome BrokerSession::Exchange(const std::vector<uint8_t>& bytes, uint32_t timeoutMs, ReadReply read) {
  CallOutcome out;
  if (!conn_ || !conn_->IsOpen()) return out;  // NotStarted
  // The encoder refuses a message beyond the format's bound; nothing is written then, and the
  // connection stays in step.
  if (bytes.empty()) {
    out.error = TARNVEL_CALL_TOO_LARGE;
    return out;
  }
  const uint32_t deadlineMs = timeoutMs != 0 ? timeoutMs : options_.callMs;
  const ULONGLONG deadline = GetTickCount64() + deadlineMs;
  TakeLines();  // lines between requests (none from this broker's server thread) are not this call's
  host::CallResult r =
      conn_->WriteRaw(bytes, deadlineMs) ? read(Remaining(deadline), out) : host::CallResult::WriteFailed;
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (!conn_ || !conn_->IsOpen()) return CallOutcome();
  const std::vector<uint8_t> bytes = host::HostConnection::EncodeRequest(op, hive, a, b, c);
  return Exchange(bytes, timeoutMs, [this](uint32_t left, CallOutcome& out) {
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (!conn_ || !conn_->IsOpen()) return CallOutcome();
  std::vector<Param> params;
  params.push_back(Param::Int32(static_cast<int32_t>(pluginPid), Int32Kind4));
  const std::vector<uint8_t> bytes = host::HostConnection::Encode(host::PluginPipeRequestId, std::move(params));
  return Exchange(bytes, timeoutMs, [this](uint32_t left, CallOutcome& out) {
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_ || !started_) return shutdown_;
  shutDown_ = true;
  if (conn_) conn_->Close();
  DWORD code = 0;
  if (process_.WaitForExit(timeoutMs != 0 ? timeoutMs : options_.shutdownMs, &code)) {
    shutdown_.exited = true;
    shutdown_.exitCode = code;
  } else if (process_.process() != nullptr) {
    process_.Terminate();
    shutdown_.terminated = true;
  }
  return shutdown_;
}

}  // namespace tarnvel::sdk
