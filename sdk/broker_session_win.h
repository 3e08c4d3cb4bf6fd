// SPDX-License-Identifier: Apache-2.0
// One broker as TarnvelHost.dll keeps it: the process, the host's connection, the deadlines,
// and the debugger lines written while each request was served. The C functions of
// include/tarnvel/host.h are a thin edge over this class; it may throw std::bad_alloc,
// which that edge catches.
//
// The protocol has no correlation field, so a call that stops waiting for its reply (or finds
// the stream in doubt) ends the connection: no later call can read that reply as its own.
// Later calls answer NotStarted. A call's deadline covers its wait for another thread's call
// too; a call that times out before it has written anything leaves the connection as it was.
//
// A handle runs one broker at a time: a start is refused (AlreadyStarted) from a good start
// until the shutdown, and allowed again after a failed start or a shutdown. Info() describes
// the last start.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "tarnvel/host.h"
#include "sdk/raw/raw_client_win.h"

namespace tarnvel::sdk {

constexpr uint32_t DefaultDeadlineMs = 5000;

struct SessionOptions {
  std::wstring exe;       // empty or relative: from the DLL's own folder (sdk/broker_path.h)
  std::wstring pipeName;  // empty: a name unique to this process
  uint32_t hostPid = 0;
  int handleBits = 0;  // 0, 32 or 64
  bool debugLines = false;
  uint32_t connectMs = DefaultDeadlineMs;
  uint32_t callMs = DefaultDeadlineMs;
  uint32_t shutdownMs = DefaultDeadlineMs;
  // Each line as the broker wrote it, its line feed removed; on the debug-loop thread.
  std::function<void(const std::string&)> onDebugLine;
};

// The outcome of one call: the TARNVEL_CALL_ error, the status as sent, the reply's text
// (message 7) or values (message 4), and the debugger lines of its request.
struct CallOutcome {
  int32_t error = TARNVEL_CALL_NOT_STARTED;
  int32_t status = -1;
  Text text;
  uint32_t pipeError = 0;
  int64_t pipeHandle = -1;
  std::vector<std::string> debugLines;
};

struct StartInfo {
  int32_t failure = TARNVEL_START_OK;
  uint32_t windowsError = 0;
  uint32_t exitCode = 0;
  uint32_t pid = 0;
};

struct ShutdownOutcome {
  bool exited = false;
  bool terminated = false;
  uint32_t exitCode = 0;
};

class BrokerSession {
 public:
  BrokerSession() = default;
  ~BrokerSession();
  BrokerSession(const BrokerSession&) = delete;
  BrokerSession& operator=(const BrokerSession&) = delete;

  int32_t Start(SessionOptions options);
  // Options refused before a start: said by Info(), and a later start may still succeed.
  int32_t Refuse(int32_t failure);
  // The folder of TarnvelHost.dll, without a trailing separator; empty when Windows cannot say.
  static std::wstring ModuleFolder();
  StartInfo Info() const;
  std::wstring PipeName() const;

  // One request 6 and its reply 7; `timeoutMs` 0 means the default call deadline, which
  // covers the wait for another thread's call, writing the request and reading the reply.
  CallOutcome Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c, uint32_t timeoutMs);
  // Message 3 and its reply 4.
  CallOutcome RequestPluginPipe(uint32_t pluginPid, uint32_t timeoutMs);

  // Closes the pipe, waits up to `timeoutMs` (0: the shutdown deadline) for the broker to
  // exit, then terminates it. A second call returns the first one's outcome.
  ShutdownOutcome Shutdown(uint32_t timeoutMs);

 private:
  // The start itself, callMutex_ held; fills `info` and leaves a running broker or none.
  int32_t Launch(SessionOptions options, StartInfo& info);
  // Sends `bytes` and reads the reply with `read`, all before `deadline` (GetTickCount64).
  template <class ReadReply>
  CallOutcome Exchange(const std::vector<uint8_t>& bytes, ULONGLONG deadline, ReadReply read);
  ULONGLONG DeadlineOf(uint32_t timeoutMs) const;
  void OnLine(const std::string& line);
  std::vector<std::string> TakeLines();

  // One call at a time, since the broker answers in order; timed, so that a call waiting
  // behind another thread's still keeps its own deadline.
  std::timed_mutex callMutex_;
  SessionOptions options_;  // written with callMutex_ held while no broker runs

  // What other threads may read at any time, without waiting for a call in progress.
  mutable std::mutex stateMutex_;
  StartInfo info_;
  std::wstring pipeName_;
  uint32_t callMs_ = DefaultDeadlineMs;
  bool running_ = false;  // from a good start until the shutdown
  ShutdownOutcome shutdown_;

  // Lines that arrived since the current request was sent. Declared before process_, so
  // that the debug-loop thread, which the process joins, never outlives them.
  std::mutex linesMutex_;
  std::vector<std::string> lines_;

  std::unique_ptr<host::HostConnection> conn_;
  std::unique_ptr<host::BrokerProcess> process_;  // a fresh one for each start
};

}  // namespace tarnvel::sdk
