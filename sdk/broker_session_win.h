// SPDX-License-Identifier: Apache-2.0
// One broker as TarnvelHost.dll keeps it: the process, the host's connection, the deadlines,
// and the debugger lines written while each request was served. The C functions of
// include/tarnvel/host.h are a thin edge over this class; it may throw std::bad_alloc,
// which that edge catches.
//
// The protocol has no correlation field, so a call that stops waiting for its reply (or finds
// the stream in doubt) ends the connection: no later call can read that reply as its own.
// Later calls answer NotStarted.
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
#include "tools/raw_client/raw_client_win.h"

namespace tarnvel::sdk {

constexpr uint32_t DefaultDeadlineMs = 5000;

struct SessionOptions {
  std::wstring exe;
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
  StartInfo Info() const;
  std::wstring PipeName() const;

  // One request 6 and its reply 7; `timeoutMs` 0 means the default call deadline, which
  // covers writing the request and reading the reply.
  CallOutcome Request(int32_t op, int32_t hive, const Text& a, const Text& b, const Text& c, uint32_t timeoutMs);
  // Message 3 and its reply 4.
  CallOutcome RequestPluginPipe(uint32_t pluginPid, uint32_t timeoutMs);

  // Closes the pipe, waits up to `timeoutMs` (0: the shutdown deadline) for the broker to
  // exit, then terminates it. A second call returns the first one's outcome.
  ShutdownOutcome Shutdown(uint32_t timeoutMs);

 private:
  int32_t StartLocked(SessionOptions options);
  // Sends `bytes` and reads the reply with `read`, within one deadline; the mutex is held.
  template <class ReadReply>
  CallOutcome Exchange(const std::vector<uint8_t>& bytes, uint32_t timeoutMs, ReadReply read);
  void OnLine(const std::string& line);
  std::vector<std::string> TakeLines();

  mutable std::mutex mutex_;  // one call at a time: the broker answers in order
  SessionOptions options_;
  StartInfo info_;
  bool started_ = false;
  bool shutDown_ = false;
  ShutdownOutcome shutdown_;

  // Lines that arrived since the current request was sent. Declared before process_, so
  // that the debug-loop thread, which the process joins, never outlives them.
  std::mutex linesMutex_;
  std::vector<std::string> lines_;

  std::unique_ptr<host::HostConnection> conn_;
  host::BrokerProcess process_;
};

}  // namespace tarnvel::sdk
