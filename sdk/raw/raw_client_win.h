// SPDX-License-Identifier: Apache-2.0
// Raw layer of the host side: the messages themselves. The host library (TarnvelHost.dll,
// include/tarnvel/host.h) is built on it; it is not installed, and applications use the
// library. tarnvel-host, the tests, the benchmarks and the fault layer use it to write any
// message they like.
//
//  - BrokerProcess starts TarnvelBroker.exe the way a host does, with the command line
//    `"<exe>" --ipc=<pipe name> --proc=<host pid>` (or any command line a test wants),
//    optionally under the debugger API so that the broker's debugger lines can be
//    collected, and waits for its exit code. The debug-event loop runs on a thread of its
//    own, which is also the thread that creates the process (the API requires that).
//  - HostConnection is the host's end of the broker pipe \\.\pipe\<name>: connect with a
//    bounded retry, send messages (or raw bytes), read one message with a time-out, and
//    the two calls a host makes: a request (id 6 -> reply id 7) and a plug-in pipe
//    (id 3 -> reply id 4).
//
// Every wait is bounded by the caller's time-out: a broker that does not answer shows up
// as CallResult::TimedOut, never as a hang. Windows-only (raw_client_win.cpp).
#pragma once
#include <windows.h>

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "tarnvel/protocol.h"
#include "base/unique_handle_win.h"
#include "ipc/param.h"

namespace tarnvel::host {

// Message ids a host speaks.
constexpr int32_t KeepAliveId = protocol::MessageId::KeepAlive;
constexpr int32_t PluginPipeRequestId = protocol::MessageId::PluginPipeRequest;
constexpr int32_t PluginPipeReplyId = protocol::MessageId::PluginPipeReply;
constexpr int32_t RequestId = protocol::MessageId::Request;
constexpr int32_t ReplyId = protocol::MessageId::Reply;

// A pipe name no other broker of this machine uses: prefix, this process id, a tick count
// and a per-process counter.
std::wstring MakeUniquePipeName(const std::wstring& prefix = L"tarnvel-host");

// `"<exe>" --ipc=<name> --proc=<pid>`.
std::wstring BrokerCommandLine(const std::wstring& exe, const std::wstring& pipeName, DWORD hostPid);

struct StartOptions {
  std::wstring exe;
  // The whole command line; empty means BrokerCommandLine(exe, pipeName, hostPid).
  std::wstring commandLine;
  std::wstring pipeName;
  DWORD hostPid = 0;  // 0: this process
  bool underDebugger = false;
  // Under the debugger: called with each debugger line on the debug-loop thread, as it
  // arrives, besides keeping it for DebugLines().
  std::function<void(const std::string&)> onDebugLine;
  // False: lines go to onDebugLine only, so that a long session does not pile them up.
  bool keepDebugLines = true;
};

class BrokerProcess {
 public:
  BrokerProcess() = default;
  // Ends a broker that is still running, so that no test leaves one behind.
  ~BrokerProcess();
  BrokerProcess(const BrokerProcess&) = delete;
  BrokerProcess& operator=(const BrokerProcess&) = delete;

  // False when the process could not be created; startError() tells why.
  bool Start(const StartOptions& options);
  DWORD startError() const { return startError_; }
  DWORD pid() const { return pid_; }
  HANDLE process() const { return process_.get(); }
  bool underDebugger() const { return debugThread_.joinable(); }

  // True with the exit code when the process ended within the time-out.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  bool HasExited() const;
  void Terminate();

  // Debugger lines (only under the debugger), each as written, trailing line feed kept.
  std::vector<std::string> DebugLines() const;
  // The lines that arrived since the previous call.
  std::vector<std::string> TakeNewDebugLines();

 private:
  bool StartPlain(const StartOptions& options, std::wstring commandLine);
  bool StartDebugged(std::wstring exe, std::wstring commandLine);
  void DebugLoop(std::wstring exe, std::wstring commandLine);
  void AddDebugLine(std::string line);

  std::function<void(const std::string&)> onDebugLine_;
  bool keepDebugLines_ = true;

  UniqueHandle process_;
  DWORD pid_ = 0;
  DWORD startError_ = 0;

  std::thread debugThread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool startDone_ = false;
  std::vector<std::string> debugLines_;
  size_t taken_ = 0;
};

// One decoded message, parameters copied out of the decoder.
struct Message {
  int32_t id = -1;
  std::vector<ipc::Param> params;
};

enum class CallResult {
  Ok,
  TimedOut,     // nothing (or only part of a message) arrived within the time-out
  Broken,       // the broker closed the pipe or the read failed
  Malformed,    // bytes arrived that are not a well-formed message
  WrongReply,   // a message arrived, but not the reply the request asks for
  WriteFailed,  // the request could not be written
  NotConnected,
};
const char* CallResultName(CallResult r);

struct Reply {
  int32_t status = -1;
  Text text;
};

struct PluginPipeReply {
  int32_t error = -1;
  int64_t handle = -1;  // valid inside the plug-in's process; -1 when none was made
};

class HostConnection {
 public:
  // `brokerWidth` is the handle width of the broker's build (code-7 payloads).
  explicit HostConnection(ipc::PointerWidth brokerWidth = ipc::NativePointerWidth) : width_(brokerWidth) {}

  // Retries until the pipe accepts or the time-out passes; gives up early when `broker`
  // (if given) has already ended. lastError() holds the final Windows error.
  bool Connect(const std::wstring& pipeName, DWORD timeoutMs, const BrokerProcess* broker = nullptr);
  bool IsOpen() const { return pipe_.valid(); }
  void Close();
  DWORD lastError() const { return lastError_; }

  // The bytes of one message as the broker's encoder would write them.
  static std::vector<uint8_t> Encode(int32_t id, std::vector<ipc::Param> params,
                                     ipc::PointerWidth width = ipc::NativePointerWidth);
  static std::vector<uint8_t> EncodeRequest(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c);

  // False for an empty byte string: that is a message the encoder refused (too large).
  bool WriteRaw(const std::vector<uint8_t>& bytes, DWORD timeoutMs = 5000);
  bool Send(int32_t id, std::vector<ipc::Param> params, DWORD timeoutMs = 5000);
  // Ok with the next message; TimedOut, Broken or Malformed otherwise. Bytes of a following
  // message stay buffered for the next call.
  CallResult ReadMessage(DWORD timeoutMs, Message& out);

  // Message 6 and its reply 7 (status Int32Kind2, text String16).
  CallResult Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c, DWORD timeoutMs,
                     Reply& out);
  // Reads a reply 7 to a request already sent.
  CallResult ReadReply(DWORD timeoutMs, Reply& out);
  // Message 3 with the plug-in's process id, and its reply 4 (error Int32Kind4, handle PointerSized).
  CallResult RequestPluginPipe(DWORD pluginPid, DWORD timeoutMs, PluginPipeReply& out);
  // Reads a reply 4 to a message 3 already sent.
  CallResult ReadPluginPipeReply(DWORD timeoutMs, PluginPipeReply& out);

  // The message that made a call answer WrongReply.
  const Message& lastMessage() const { return last_; }

 private:
  CallResult ReadSome(DWORD timeoutMs);
  // Bytes of the message at the front of the buffer as its header declares them; 0 if not known yet.
  size_t DeclaredBytes() const;

  ipc::PointerWidth width_;
  UniqueHandle pipe_;
  DWORD lastError_ = 0;
  std::vector<uint8_t> pending_;  // received, not yet part of a delivered message
  Message last_;
};

// "Success", "NotFound", "Denied", "Failed", "BadArgument", or "status <n>".
std::string StatusName(int32_t status);

}  // namespace tarnvel::host
