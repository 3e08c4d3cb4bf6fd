// SPDX-License-Identifier: Apache-2.0
#include "sdk/raw/raw_client_win.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "base/overlapped_win.h"
#include "base/wide_text_win.h"
#include "ipc/decoder.h"
#include "ipc/encoder.h"

namespace tarnvel::host {
namespace {

ULONGLONG Remaining(ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : deadline - now;
}

DWORD ClampWait(ULONGLONG ms) { return static_cast<DWORD>(std::min<ULONGLONG>(ms, 0x7FFFFFFF)); }

std::wstring PipePath(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

}  // namespace

std::wstring MakeUniquePipeName(const std::wstring& prefix) {
  static std::atomic<unsigned> counter{0};
  wchar_t tail[64];
  swprintf(tail, sizeof tail / sizeof tail[0], L".%lx.%llx.%x", static_cast<unsigned long>(GetCurrentProcessId()),
           static_cast<unsigned long long>(GetTickCount64()), ++counter);
  return prefix + tail;
}

std::wstring BrokerCommandLine(const std::wstring& exe, const std::wstring& pipeName, DWORD hostPid) {
  wchar_t pid[16];
  swprintf(pid, sizeof pid / sizeof pid[0], L"%lu", static_cast<unsigned long>(hostPid));
  return L"\"" + exe + L"\" --ipc=" + pipeName + L" --proc=" + pid;
}

// ---- BrokerProcess -------------------------------------------------------------------

BrokerProcess::~BrokerProcess() {
  if (process_.valid() && !HasExited()) Terminate();
  if (debugThread_.joinable()) debugThread_.join();
}

bool BrokerProcess::Start(const StartOptions& options) {
  std::wstring commandLine = options.commandLine;
  if (commandLine.empty()) {
    DWORD host = options.hostPid != 0 ? options.hostPid : GetCurrentProcessId();
    commandLine = BrokerCommandLine(options.exe, options.pipeName, host);
  }
  onDebugLine_ = options.onDebugLine;
  keepDebugLines_ = options.keepDebugLines;
  if (options.underDebugger) return StartDebugged(options.exe, std::move(commandLine));
  return StartPlain(options, std::move(commandLine));
}

bool BrokerProcess::StartPlain(const StartOptions& options, std::wstring commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // The application name is given apart so that any command line a test wants (even one
  // without the program path) still starts the broker.
  if (!CreateProcessW(options.exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    startError_ = GetLastError();
    return false;
  }
  UniqueHandle thread(pi.hThread);
  process_.reset(pi.hProcess);
  pid_ = pi.dwProcessId;
  return true;
}

bool BrokerProcess::StartDebugged(std::wstring exe, std::wstring commandLine) {
  debugThread_ = std::thread(&BrokerProcess::DebugLoop, this, std::move(exe), std::move(commandLine));
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return startDone_; });
  return process_.valid();
}

void BrokerProcess::DebugLoop(std::wstring exe, std::wstring commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  BOOL created = FALSE;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    created = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                             nullptr, &si, &pi);
    if (created) {
      process_.reset(pi.hProcess);
      pid_ = pi.dwProcessId;
    } else {
      startError_ = GetLastError();
    }
    startDone_ = true;
  }
  changed_.notify_all();
  if (!created) return;
  UniqueHandle thread(pi.hThread);

  bool initialBreakpointSeen = false;
  for (;;) {
    DEBUG_EVENT ev{};
    // Bounded so that a debuggee that vanished without an exit event cannot keep us here.
    if (!WaitForDebugEvent(&ev, 250)) {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
      continue;
    }
    DWORD continueStatus = DBG_CONTINUE;
    bool exited = false;
    switch (ev.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        UniqueHandle(ev.u.CreateProcessInfo.hFile).reset();
        break;
      case LOAD_DLL_DEBUG_EVENT:
        UniqueHandle(ev.u.LoadDll.hFile).reset();
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = ev.u.DebugString;
        size_t units = info.nDebugStringLength;
        size_t unitSize = info.fUnicode ? 2 : 1;
        std::vector<char> raw(units * unitSize + 2, 0);
        SIZE_T got = 0;
        if (units > 0 && ReadProcessMemory(pi.hProcess, info.lpDebugStringData, raw.data(), units * unitSize, &got)) {
          std::string line;
          if (info.fUnicode) {
            const wchar_t* w = reinterpret_cast<const wchar_t*>(raw.data());
            Text t = FromWide(w, wcsnlen(w, got / 2));
            for (char16_t c : t) line.push_back(c < 0x80 ? static_cast<char>(c) : '?');
          } else {
            line.assign(raw.data(), strnlen(raw.data(), got));
          }
          AddDebugLine(std::move(line));
        }
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (!initialBreakpointSeen && ev.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT) {
          initialBreakpointSeen = true;
        } else {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exited = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, continueStatus);
    if (exited) break;
  }
}

void BrokerProcess::AddDebugLine(std::string line) {
  // Outside the lock, so that the callback may call back into this object.
  if (onDebugLine_) onDebugLine_(line);
  if (!keepDebugLines_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    debugLines_.push_back(std::move(line));
  }
  changed_.notify_all();
}

bool BrokerProcess::HasExited() const {
  return !process_.valid() || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

bool BrokerProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_.valid()) return false;
  if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  if (exitCode) *exitCode = code;
  return true;
}

void BrokerProcess::Terminate() {
  if (!process_.valid()) return;
  TerminateProcess(process_.get(), 0xDEAD);
  WaitForSingleObject(process_.get(), 5000);
}

std::vector<std::string> BrokerProcess::DebugLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return debugLines_;
}

std::vector<std::string> BrokerProcess::TakeNewDebugLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out(debugLines_.begin() + static_cast<std::ptrdiff_t>(taken_), debugLines_.end());
  taken_ = debugLines_.size();
  return out;
}

// ---- HostConnection ------------------------------------------------------------------

const char* CallResultName(CallResult r) {
  switch (r) {
    case CallResult::Ok:
      return "ok";
    case CallResult::TimedOut:
      return "no reply within the time-out";
    case CallResult::Broken:
      return "pipe broken";
    case CallResult::Malformed:
      return "malformed message";
    case CallResult::WrongReply:
      return "wrong reply";
    case CallResult::WriteFailed:
      return "write failed";
    case CallResult::NotConnected:
      return "not connected";
  }
  return "?";
}

bool HostConnection::Connect(const std::wstring& pipeName, DWORD timeoutMs, const BrokerProcess* broker) {
  Close();
  const std::wstring path = PipePath(pipeName);
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      pipe_.reset(h);
      lastError_ = 0;
      return true;
    }
    lastError_ = GetLastError();
    if (broker != nullptr && broker->HasExited()) return false;
    ULONGLONG left = Remaining(deadline);
    if (left == 0) return false;
    if (lastError_ == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(path.c_str(), ClampWait(std::min<ULONGLONG>(left, 250)));
    } else {
      // Not created yet: the broker is still starting.
      Sleep(static_cast<DWORD>(std::min<ULONGLONG>(left, 10)));
    }
  }
}

void HostConnection::Close() {
  pipe_.reset();
  pending_.clear();
}

std::vector<uint8_t> HostConnection::Encode(int32_t id, std::vector<ipc::Param> params, ipc::PointerWidth width) {
  ipc::Encoder encoder(width);
  if (!encoder.Build(id, params.data(), static_cast<uint32_t>(params.size()))) return {};
  return std::vector<uint8_t>(encoder.Bytes(), encoder.Bytes() + encoder.ByteCount());
}

std::vector<uint8_t> HostConnection::EncodeRequest(int32_t op, int32_t hive, const Text& a, const Text& b,
                                                   const Text& c) {
  std::vector<ipc::Param> params;
  params.push_back(ipc::Param::Int32(op, ipc::Int32Kind2));
  params.push_back(ipc::Param::Int32(hive, ipc::Int32Kind2));
  params.push_back(ipc::Param::Text16(a));
  params.push_back(ipc::Param::Text16(b));
  params.push_back(ipc::Param::Text16(c));
  return Encode(RequestId, std::move(params));
}

bool HostConnection::WriteRaw(const std::vector<uint8_t>& bytes, DWORD timeoutMs) {
  if (!pipe_.valid() || bytes.empty()) return false;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  size_t done = 0;
  while (done < bytes.size()) {
    OverlappedOperation operation;
    if (!operation.valid()) return false;
    OVERLAPPED& ov = operation.record();
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 0x7FFFFFFF));
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data() + done, chunk, &written, &ov)) {
      lastError_ = GetLastError();
      if (lastError_ != ERROR_IO_PENDING) return false;
      const OverlappedEnd end = WaitForOverlapped(pipe_.get(), ov, ClampWait(Remaining(deadline)), false, written);
      if (end != OverlappedEnd::Completed) {
        lastError_ = end == OverlappedEnd::TimedOut ? WAIT_TIMEOUT : GetLastError();
        return false;
      }
    }
    if (written == 0) return false;
    done += written;
  }
  return true;
}

bool HostConnection::Send(int32_t id, std::vector<ipc::Param> params, DWORD timeoutMs) {
  std::vector<uint8_t> bytes = Encode(id, std::move(params), width_);
  return !bytes.empty() && WriteRaw(bytes, timeoutMs);
}

CallResult HostConnection::ReadSome(DWORD timeoutMs) {
  if (!pipe_.valid()) return CallResult::NotConnected;
  OverlappedOperation operation;
  if (!operation.valid()) return CallResult::Broken;
  OVERLAPPED& ov = operation.record();
  uint8_t buffer[4096];
  DWORD got = 0;
  if (!ReadFile(pipe_.get(), buffer, sizeof buffer, &got, &ov)) {
    lastError_ = GetLastError();
    if (lastError_ != ERROR_IO_PENDING) return CallResult::Broken;
    const OverlappedEnd end = WaitForOverlapped(pipe_.get(), ov, timeoutMs, false, got);
    if (end != OverlappedEnd::Completed) {
      lastError_ = GetLastError();
      return end == OverlappedEnd::TimedOut ? CallResult::TimedOut : CallResult::Broken;
    }
  }
  pending_.insert(pending_.end(), buffer, buffer + got);
  return CallResult::Ok;
}

size_t HostConnection::DeclaredBytes() const {
  if (pending_.size() < 32) return 0;
  uint32_t magic = 0, total = 0;
  std::memcpy(&magic, pending_.data(), sizeof magic);
  std::memcpy(&total, pending_.data() + 24, sizeof total);
  if (magic != ipc::HeaderMagic) return 0;
  if (total < 5 || total > ipc::MaxTotalWords) return 0;
  return static_cast<size_t>(total) * 8;
}

CallResult HostConnection::ReadMessage(DWORD timeoutMs, Message& out) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    // The decoder runs on whole words only, like the broker's own receive loop.
    size_t whole = pending_.size() - pending_.size() % 8;
    // Decode only once the header's declared total has arrived, so that a large reply is
    // decoded once rather than after every read (a header the decoder rejects is decoded
    // at once and reported).
    if (whole >= 32 && whole < DeclaredBytes()) whole = 0;
    if (whole >= 32) {
      ipc::Decoder decoder(width_);
      decoder.Append(pending_.data(), whole);
      ipc::DecodeResult r = decoder.Decode();
      if (r == ipc::DecodeResult::Done && decoder.state() == ipc::DecoderState::Complete) {
        ipc::ParamList& list = decoder.list();
        out.id = list.id;
        // Moved: the decoder goes with this call, and a large reply's text is not copied again.
        out.params.assign(std::make_move_iterator(list.params), std::make_move_iterator(list.params + list.count));
        size_t consumed = whole - decoder.BufferedBytes();
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed));
        return CallResult::Ok;
      }
      if (r == ipc::DecodeResult::Error) return CallResult::Malformed;
    }
    ULONGLONG left = Remaining(deadline);
    if (left == 0) return CallResult::TimedOut;
    CallResult read = ReadSome(ClampWait(left));
    if (read != CallResult::Ok) return read;
  }
}

CallResult HostConnection::ReadReply(DWORD timeoutMs, Reply& out) {
  CallResult r = ReadMessage(timeoutMs, last_);
  if (r != CallResult::Ok) return r;
  if (last_.id != ReplyId || last_.params.size() != 2 || last_.params[0].type != ipc::Int32Kind2 ||
      last_.params[1].type != ipc::String16) {
    return CallResult::WrongReply;
  }
  out.status = static_cast<int32_t>(last_.params[0].value);
  out.text = last_.params[1].string16;
  return CallResult::Ok;
}

CallResult HostConnection::Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c,
                                   DWORD timeoutMs, Reply& out) {
  if (!pipe_.valid()) return CallResult::NotConnected;
  if (!WriteRaw(EncodeRequest(op, hive, a, b, c), timeoutMs)) return CallResult::WriteFailed;
  return ReadReply(timeoutMs, out);
}

CallResult HostConnection::RequestPluginPipe(DWORD pluginPid, DWORD timeoutMs, PluginPipeReply& out) {
  if (!pipe_.valid()) return CallResult::NotConnected;
  std::vector<ipc::Param> params;
  params.push_back(ipc::Param::Int32(static_cast<int32_t>(pluginPid), ipc::Int32Kind4));
  if (!Send(PluginPipeRequestId, std::move(params), timeoutMs)) return CallResult::WriteFailed;
  return ReadPluginPipeReply(timeoutMs, out);
}

CallResult HostConnection::ReadPluginPipeReply(DWORD timeoutMs, PluginPipeReply& out) {
  CallResult r = ReadMessage(timeoutMs, last_);
  if (r != CallResult::Ok) return r;
  if (last_.id != PluginPipeReplyId || last_.params.size() != 2 || last_.params[0].type != ipc::Int32Kind4 ||
      last_.params[1].type != ipc::PointerSized) {
    return CallResult::WrongReply;
  }
  out.error = static_cast<int32_t>(last_.params[0].value);
  out.handle = last_.params[1].value;
  return CallResult::Ok;
}

// ---- texts ---------------------------------------------------------------------------

std::string StatusName(int32_t status) {
  if (const char* name = protocol::StatusName(status)) return name;
  char buf[32];
  snprintf(buf, sizeof buf, "status %ld", static_cast<long>(status));
  return buf;
}

}  // namespace tarnvel::host
