// SPDX-License-Identifier: Apache-2.0
// TarnvelBroker host SDK: start a broker beside the host application, talk to it, stop it.
//
//   tarnvel::host::Broker broker;
//   tarnvel::host::BrokerOptions options;
//   options.exe = L"C:\\Program Files\\Maker\\TarnvelBroker.exe";
//   if (!broker.Start(options)) { /* broker.startFailure() says why */ }
//   auto launches = broker.ReadDword(tarnvel::host::Hive::CurrentUser, L"Software\\Tarnvel\\App", L"launches");
//   if (launches.ok()) use(launches.value);
//   broker.Shutdown();
//
// Errors: no call throws an exception of this library's own. Every call returns a Result:
// `call` says whether a reply arrived (CallError::None) or what went wrong on the way,
// `status` the broker's RequestStatus, `value` the typed result (meaningful when ok()). Only
// std::bad_alloc from the standard library can leave a call (as from any std::wstring).
//
// Threads: one Broker may be used from several threads; its calls are serialised (one
// request is on the pipe at a time, as the broker answers them in order). The debugger-line
// callback runs on a thread of the library's own while the broker waits for it: it must
// not call into the Broker (a call in progress may be waiting for that very broker).
//
// Shutdown: Shutdown() (also run by the destructor) closes the host's end of the pipe, which
// makes the broker exit, and waits for that; only after the time-out is the broker
// terminated. Every wait is bounded by the time-out of BrokerOptions.
//
// Texts are std::wstring (UTF-16); data-file contents are bytes (the library converts them
// to and from the hexadecimal text of the protocol). Windows only; this header includes no
// Windows header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarnvel/protocol.h"

namespace tarnvel::host {

// The reply status of a request (docs/protocol.md, "Statuses").
using protocol::RequestStatus;

// What became of a call before the broker's status is known.
enum class CallError {
  None,          // a well-formed reply arrived
  NotStarted,    // no broker was started or the connection has ended
  TimedOut,      // no (whole) reply within the time-out
  Broken,        // the broker closed the pipe or a read failed
  Malformed,     // the broker sent bytes that are not a well-formed message
  WrongReply,    // a message arrived, but not the reply asked for
  WriteFailed,   // the request could not be written
  BadReplyText,  // the reply's status was Success, but its text is not of the form the call expects
};

enum class Hive : int32_t { CurrentUser = 0, LocalMachine = 1 };

template <class T>
struct Result {
  CallError call = CallError::NotStarted;
  // Meaningful when call is None (or BadReplyText); rawStatus keeps a number outside the enum.
  RequestStatus status = RequestStatus::Failed;
  int32_t rawStatus = -1;
  T value{};
  bool ok() const { return call == CallError::None && status == RequestStatus::Success; }
};

struct Done {};  // the value of calls that have none

// The answer of a URL check poll.
struct UrlCheckState {
  enum class Kind { Pending, HttpStatus, Error };
  Kind kind = Kind::Pending;
  uint32_t number = 0;  // the HTTP status code, or the Windows error number
};

// The answer to a private plug-in pipe request (message 3).
struct PluginPipe {
  uint32_t error = 0;   // Windows error code; 0 = the pipe was made
  int64_t handle = -1;  // the client end's handle value inside the plug-in's process
};

struct RawReply {
  int32_t status = -1;
  std::wstring text;
};

struct BrokerOptions {
  std::wstring exe;           // path of TarnvelBroker.exe
  std::wstring pipeName;      // empty: a name unique to this process
  uint32_t hostPid = 0;       // 0: this process
  uint32_t timeoutMs = 5000;  // connecting, each reply, and Shutdown's wait
  // Run the broker under the debugger API and deliver each of its debugger lines here
  // (trailing line feed removed). Empty: the broker runs without a debugger.
  std::function<void(const std::string&)> onDebugLine;
  // Width of handle values the broker sends: 64 (x64 broker), 32 (x86 broker), 0 = this
  // program's own width.
  int handleBits = 0;
};

enum class StartFailure {
  None,
  CannotCreateProcess,  // windowsError holds the reason (2: no such file, ...)
  BrokerExited,         // ended before accepting (bad host pid, pipe name in use, ...); exitCode holds its code
  ConnectTimedOut,      // still running, but its pipe did not accept within the time-out
};

struct ShutdownResult {
  bool exited = false;      // the broker ended by itself within the time-out
  bool terminated = false;  // it did not, and was terminated
  uint32_t exitCode = 0;    // valid when exited
};

class Broker {
 public:
  Broker();
  ~Broker();  // Shutdown()
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts the broker and connects to it as its host. False on failure (see startFailure(),
  // windowsError(), exitCode()); the broker is then no longer running.
  bool Start(const BrokerOptions& options);
  StartFailure startFailure() const;
  uint32_t windowsError() const;
  uint32_t exitCode() const;
  uint32_t pid() const;
  std::wstring pipeName() const;

  Result<std::wstring> Ping();

  Result<std::wstring> ReadString(Hive hive, const std::wstring& key, const std::wstring& name);
  Result<uint32_t> ReadDword(Hive hive, const std::wstring& key, const std::wstring& name);
  Result<uint64_t> ReadQword(Hive hive, const std::wstring& key, const std::wstring& name);
  Result<Done> WriteString(Hive hive, const std::wstring& key, const std::wstring& name, const std::wstring& text);
  Result<Done> WriteDword(Hive hive, const std::wstring& key, const std::wstring& name, uint32_t value);
  Result<Done> WriteQword(Hive hive, const std::wstring& key, const std::wstring& name, uint64_t value);
  Result<Done> DeleteValue(Hive hive, const std::wstring& key, const std::wstring& name);
  Result<Done> DeleteKey(Hive hive, const std::wstring& key);
  Result<Done> DeleteTree(Hive hive, const std::wstring& key);
  // value: whether the key exists (NotFound is answered as Success with false).
  Result<bool> KeyExists(Hive hive, const std::wstring& key);
  Result<std::vector<std::wstring>> ListKeys(Hive hive, const std::wstring& key);
  // Name and data of each value; the data of a value that is not a string is empty.
  Result<std::vector<std::pair<std::wstring, std::wstring>>> ListValues(Hive hive, const std::wstring& key);
  Result<Done> CopyTree(Hive hive, const std::wstring& sourceKey, const std::wstring& destinationKey);

  Result<std::vector<uint8_t>> ReadDataFile(const std::wstring& path);
  Result<Done> WriteDataFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
  Result<bool> DataFileExists(const std::wstring& path);  // NotFound as Success with false
  Result<Done> DeleteDataFile(const std::wstring& path);

  Result<Done> CopyIn(const std::wstring& source, const std::wstring& destination);
  Result<Done> Export(const std::wstring& source, const std::wstring& destination);
  Result<Done> ShellOpen(const std::wstring& target);

  Result<uint32_t> StartUrlCheck(const std::wstring& url);  // value: the check's id
  Result<UrlCheckState> PollUrlCheck(uint32_t id);

  // Message 3; status is Success whenever reply 4 arrived (the outcome is in value.error).
  Result<PluginPipe> RequestPluginPipe(uint32_t pluginPid);

  // Any op code with texts A, B, C, as they are; value holds status and text unchanged.
  Result<RawReply> RawRequest(int32_t op, int32_t hive, const std::wstring& a, const std::wstring& b,
                              const std::wstring& c);

  // Close the pipe, wait for the broker's exit, terminate it after the time-out. Later
  // calls return CallError::NotStarted; a second Shutdown() returns the first one's result.
  ShutdownResult Shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

const char* CallErrorName(CallError e);
const char* RequestStatusName(RequestStatus s);

}  // namespace tarnvel::host
