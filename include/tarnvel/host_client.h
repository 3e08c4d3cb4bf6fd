// SPDX-License-Identifier: Apache-2.0
// TarnvelBroker host SDK for C++: start a broker beside the host application, talk to it,
// stop it. Header-only, over the C interface of TarnvelHost.dll (tarnvel/host.h), so any C++
// compiler (MSVC, MinGW, clang) uses it with the DLL as shipped.
//
//   tarnvel::host::Broker broker;
//   tarnvel::host::BrokerOptions options;  // exe empty: TarnvelBroker.exe beside TarnvelHost.dll
//   if (!broker.Start(options)) { /* broker.startFailure() says why; Start may be tried again */ }
//   auto launches = broker.ReadDword(tarnvel::host::Hive::CurrentUser, L"Software\\Tarnvel\\App", L"launches");
//   if (launches.ok()) use(launches.value);
//   broker.CopyIn(source, destination, std::chrono::minutes(2));  // a deadline of its own
//   broker.Shutdown();
//
// Errors: no call throws an exception of this library's own. Every call returns a Result:
// `call` says whether a reply arrived (CallError::None) or what went wrong on the way,
// `status` the broker's RequestStatus, `value` the typed result (meaningful when ok()), and
// `debugLines` the lines the broker wrote while serving the request (when it runs under the
// debugger). Only std::bad_alloc from the standard library can leave a call.
//
// Deadlines: BrokerOptions holds one for connecting, one for each call and one for shutdown;
// every call takes an optional deadline of its own, which also bounds its wait for another
// thread's call. A call that times out before it has written anything (still waiting for
// another thread's call) leaves the connection as it was. A call that stops waiting for its
// reply ends the connection (the protocol cannot tell a late reply from the next one): later
// calls answer CallError::NotStarted until Shutdown() and a new Start().
//
// Threads: one Broker may be used from several threads; its calls are serialised. A Broker
// can be moved (not copied); a moved-from Broker answers NotStarted.
//
// Texts are std::wstring (UTF-16); data-file contents are bytes. Windows only; this header
// includes no Windows header.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarnvel/host.h"
#include "tarnvel/protocol.h"

namespace tarnvel::host {

// The reply status of a request (docs/protocol.md, "Statuses").
using protocol::RequestStatus;

// What became of a call before the broker's status is known.
enum class CallError : int32_t {
  None = TARNVEL_CALL_NONE,                    // a well-formed reply arrived
  NotStarted = TARNVEL_CALL_NOT_STARTED,       // no broker was started or the connection has ended
  TimedOut = TARNVEL_CALL_TIMED_OUT,           // no (whole) reply within the deadline; the connection ends
  Broken = TARNVEL_CALL_BROKEN,                // the broker closed the pipe or a read failed
  Malformed = TARNVEL_CALL_MALFORMED,          // the broker sent bytes that are not a well-formed message
  WrongReply = TARNVEL_CALL_WRONG_REPLY,       // a message arrived, but not the reply asked for
  WriteFailed = TARNVEL_CALL_WRITE_FAILED,     // the request could not be written
  BadReplyText = TARNVEL_CALL_BAD_REPLY_TEXT,  // status Success, but the text is not of the expected form
  InvalidArgument = TARNVEL_CALL_INVALID_ARGUMENT,
  TooLarge = TARNVEL_CALL_TOO_LARGE,  // the request exceeds one message (64 MiB); nothing was sent
  OutOfMemory = TARNVEL_CALL_OUT_OF_MEMORY,
  Internal = TARNVEL_CALL_INTERNAL,
};

enum class Hive : int32_t { CurrentUser = TARNVEL_HIVE_CURRENT_USER, LocalMachine = TARNVEL_HIVE_LOCAL_MACHINE };

template <class T>
struct Result {
  CallError call = CallError::NotStarted;
  // Meaningful when call is None (or BadReplyText); rawStatus keeps the number as sent.
  RequestStatus status = RequestStatus::Failed;
  int32_t rawStatus = -1;
  T value{};
  // The broker's debugger lines written while it served this request, in order, without
  // their line feeds; empty unless it runs under the debugger (BrokerOptions::debugLines).
  std::vector<std::string> debugLines;
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

// A call's own deadline; none: the broker's call deadline.
using Deadline = std::optional<std::chrono::milliseconds>;

struct BrokerOptions {
  // Path of TarnvelBroker.exe. Empty: the one beside TarnvelHost.dll; a relative path is
  // taken from the DLL's folder, never from the current directory or a search path.
  std::wstring exe;
  std::wstring pipeName;  // empty: a name unique to this process
  uint32_t hostPid = 0;   // 0: this process
  std::chrono::milliseconds connectTimeout{5000};
  std::chrono::milliseconds callTimeout{5000};  // each call's, unless the call gives its own
  std::chrono::milliseconds shutdownTimeout{5000};
  // The single deadline of version 1.0; when not 0 it replaces all three above.
  uint32_t timeoutMs = 0;
  // Run the broker under the debugger API: each Result carries the lines it wrote while
  // serving that request. Implied by onDebugLine.
  bool debugLines = false;
  // Also deliver each debugger line here as it is written (line feed removed), on a thread of
  // the library's own while the broker waits: it must not call into this Broker.
  std::function<void(const std::string&)> onDebugLine;
  // Width of handle values the broker sends: 64 (x64 broker), 32 (x86 broker), 0 = this
  // program's own width.
  int handleBits = 0;
};

enum class StartFailure : int32_t {
  None = TARNVEL_START_OK,
  CannotCreateProcess = TARNVEL_START_CANNOT_CREATE_PROCESS,  // windowsError holds the reason (2: no such file, ...)
  BrokerExited = TARNVEL_START_BROKER_EXITED,         // ended before accepting (bad host pid, pipe name in use, ...)
  ConnectTimedOut = TARNVEL_START_CONNECT_TIMED_OUT,  // still running, but its pipe did not accept in time
  BadOptions = TARNVEL_START_BAD_OPTIONS,             // handleBits not 0, 32 or 64, or an exe like "C:x" or "\x"
  AlreadyStarted = TARNVEL_START_ALREADY_STARTED,     // this Broker's broker runs (until Shutdown); it goes on
  OutOfMemory = TARNVEL_START_OUT_OF_MEMORY,
};

struct ShutdownResult {
  bool exited = false;      // the broker ended by itself within the deadline
  bool terminated = false;  // it did not, and was terminated
  uint32_t exitCode = 0;    // valid when exited
};

inline const char* CallErrorName(CallError e) { return tarnvel_call_error_name(static_cast<int32_t>(e)); }
inline const char* RequestStatusName(RequestStatus s) { return tarnvel_status_name(static_cast<int32_t>(s)); }
inline const char* StartFailureName(StartFailure f) { return tarnvel_start_failure_name(static_cast<int32_t>(f)); }

class Broker {
 public:
  Broker() = default;
  ~Broker() { tarnvel_broker_destroy(handle_); }  // shuts the broker down first
  Broker(Broker&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)),
        onDebugLine_(std::move(other.onDebugLine_)),
        failure_(other.failure_) {}
  Broker& operator=(Broker&& other) noexcept {
    if (this != &other) {
      tarnvel_broker_destroy(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
      onDebugLine_ = std::move(other.onDebugLine_);
      failure_ = other.failure_;
    }
    return *this;
  }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts the broker and connects to it as its host. False on failure (see startFailure(),
  // windowsError(), exitCode(), which describe this last start); the broker is then no longer
  // running, and Start may be called again. After Shutdown() it starts a new broker.
  bool Start(const BrokerOptions& options) {
    if (handle_ == nullptr) handle_ = tarnvel_broker_create();
    if (handle_ == nullptr) {
      failure_ = StartFailure::OutOfMemory;
      return false;
    }
    tarnvel_options o{};
    o.size = sizeof o;
    o.flags = options.debugLines ? static_cast<uint32_t>(TARNVEL_OPTION_DEBUG_LINES) : 0u;
    o.exe = options.exe.c_str();
    o.exeLength = options.exe.size();
    o.pipeName = options.pipeName.c_str();
    o.pipeNameLength = options.pipeName.size();
    o.hostPid = options.hostPid;
    o.handleBits = static_cast<uint32_t>(options.handleBits);
    o.connectTimeoutMs = options.timeoutMs != 0 ? options.timeoutMs : Ms(options.connectTimeout);
    o.callTimeoutMs = options.timeoutMs != 0 ? options.timeoutMs : Ms(options.callTimeout);
    o.shutdownTimeoutMs = options.timeoutMs != 0 ? options.timeoutMs : Ms(options.shutdownTimeout);
    // On the heap: the DLL keeps its address while the Broker itself may move.
    std::unique_ptr<std::function<void(const std::string&)>> callback;
    if (options.onDebugLine) {
      callback.reset(new std::function<void(const std::string&)>(options.onDebugLine));
      o.onDebugLine = &Broker::DeliverLine;
      o.onDebugLineContext = callback.get();
    }
    const int32_t r = tarnvel_broker_start(handle_, &o);
    // A refused start leaves the running broker's callback in use; any other start has ended
    // the use of the previous one.
    if (r != TARNVEL_START_ALREADY_STARTED) onDebugLine_ = std::move(callback);
    return r == TARNVEL_START_OK;
  }
  StartFailure startFailure() const {
    return handle_ != nullptr ? static_cast<StartFailure>(Info().startFailure) : failure_;
  }
  uint32_t windowsError() const { return Info().windowsError; }
  uint32_t exitCode() const { return Info().exitCode; }
  uint32_t pid() const { return Info().pid; }
  std::wstring pipeName() const {
    wchar_t* name = nullptr;
    size_t length = 0;
    if (handle_ == nullptr || tarnvel_broker_pipe_name(handle_, &name, &length) != 0) return std::wstring();
    return Take(name, length);
  }

  Result<std::wstring> Ping(Deadline deadline = {}) {
    return TextCall([&](tarnvel_call* c, wchar_t** t, size_t* n) { return tarnvel_ping(handle_, c, t, n); }, deadline);
  }

  Result<std::wstring> ReadString(Hive hive, const std::wstring& key, const std::wstring& name,
                                  Deadline deadline = {}) {
    return TextCall(
        [&](tarnvel_call* c, wchar_t** t, size_t* n) {
          return tarnvel_read_string(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), t, n);
        },
        deadline);
  }
  Result<uint32_t> ReadDword(Hive hive, const std::wstring& key, const std::wstring& name, Deadline deadline = {}) {
    return Call<uint32_t>(deadline, [&](tarnvel_call* c, uint32_t& v) {
      return tarnvel_read_dword(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), &v);
    });
  }
  Result<uint64_t> ReadQword(Hive hive, const std::wstring& key, const std::wstring& name, Deadline deadline = {}) {
    return Call<uint64_t>(deadline, [&](tarnvel_call* c, uint64_t& v) {
      return tarnvel_read_qword(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), &v);
    });
  }
  Result<Done> WriteString(Hive hive, const std::wstring& key, const std::wstring& name, const std::wstring& text,
                           Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_write_string(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), text.c_str(),
                                  text.size());
    });
  }
  Result<Done> WriteDword(Hive hive, const std::wstring& key, const std::wstring& name, uint32_t value,
                          Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_write_dword(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), value);
    });
  }
  Result<Done> WriteQword(Hive hive, const std::wstring& key, const std::wstring& name, uint64_t value,
                          Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_write_qword(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size(), value);
    });
  }
  Result<Done> DeleteValue(Hive hive, const std::wstring& key, const std::wstring& name, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_delete_value(handle_, c, H(hive), key.c_str(), key.size(), name.c_str(), name.size());
    });
  }
  Result<Done> DeleteKey(Hive hive, const std::wstring& key, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_delete_key(handle_, c, H(hive), key.c_str(), key.size());
    });
  }
  Result<Done> DeleteTree(Hive hive, const std::wstring& key, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_delete_tree(handle_, c, H(hive), key.c_str(), key.size());
    });
  }
  // value: whether the key exists (NotFound is answered as Success with false).
  Result<bool> KeyExists(Hive hive, const std::wstring& key, Deadline deadline = {}) {
    return Call<bool>(deadline, [&](tarnvel_call* c, bool& v) {
      int32_t exists = 0;
      const int32_t r = tarnvel_key_exists(handle_, c, H(hive), key.c_str(), key.size(), &exists);
      v = exists != 0;
      return r;
    });
  }
  Result<std::vector<std::wstring>> ListKeys(Hive hive, const std::wstring& key, Deadline deadline = {}) {
    return Call<std::vector<std::wstring>>(deadline, [&](tarnvel_call* c, std::vector<std::wstring>& v) {
      wchar_t* list = nullptr;
      size_t length = 0, count = 0;
      const int32_t r = tarnvel_list_keys(handle_, c, H(hive), key.c_str(), key.size(), &list, &length, &count);
      v = Split(Take(list, length));
      return r;
    });
  }
  // Name and data of each value; the data of a value that is not a string is empty.
  Result<std::vector<std::pair<std::wstring, std::wstring>>> ListValues(Hive hive, const std::wstring& key,
                                                                        Deadline deadline = {}) {
    using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;
    return Call<Pairs>(deadline, [&](tarnvel_call* c, Pairs& v) {
      wchar_t* list = nullptr;
      size_t length = 0, count = 0;
      const int32_t r = tarnvel_list_values(handle_, c, H(hive), key.c_str(), key.size(), &list, &length, &count);
      std::vector<std::wstring> items = Split(Take(list, length));
      for (size_t i = 0; i + 1 < items.size(); i += 2) v.emplace_back(std::move(items[i]), std::move(items[i + 1]));
      return r;
    });
  }
  Result<Done> CopyTree(Hive hive, const std::wstring& sourceKey, const std::wstring& destinationKey,
                        Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_copy_tree(handle_, c, H(hive), sourceKey.c_str(), sourceKey.size(), destinationKey.c_str(),
                               destinationKey.size());
    });
  }

  // At most 4 MiB: a larger file answers NotFound.
  Result<std::vector<uint8_t>> ReadDataFile(const std::wstring& path, Deadline deadline = {}) {
    return Call<std::vector<uint8_t>>(deadline, [&](tarnvel_call* c, std::vector<uint8_t>& v) {
      uint8_t* bytes = nullptr;
      size_t size = 0;
      const int32_t r = tarnvel_read_data_file(handle_, c, path.c_str(), path.size(), &bytes, &size);
      Owned owned(bytes);
      if (bytes != nullptr) v.assign(bytes, bytes + size);
      return r;
    });
  }
  Result<Done> WriteDataFile(const std::wstring& path, const std::vector<uint8_t>& bytes, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_write_data_file(handle_, c, path.c_str(), path.size(), bytes.data(), bytes.size());
    });
  }
  Result<bool> DataFileExists(const std::wstring& path, Deadline deadline = {}) {  // NotFound as Success with false
    return Call<bool>(deadline, [&](tarnvel_call* c, bool& v) {
      int32_t exists = 0;
      const int32_t r = tarnvel_data_file_exists(handle_, c, path.c_str(), path.size(), &exists);
      v = exists != 0;
      return r;
    });
  }
  Result<Done> DeleteDataFile(const std::wstring& path, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_delete_data_file(handle_, c, path.c_str(), path.size());
    });
  }

  Result<Done> CopyIn(const std::wstring& source, const std::wstring& destination, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_copy_in(handle_, c, source.c_str(), source.size(), destination.c_str(), destination.size());
    });
  }
  Result<Done> Export(const std::wstring& source, const std::wstring& destination, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_export(handle_, c, source.c_str(), source.size(), destination.c_str(), destination.size());
    });
  }
  Result<Done> ShellOpen(const std::wstring& target, Deadline deadline = {}) {
    return Call<Done>(deadline, [&](tarnvel_call* c, Done&) {
      return tarnvel_shell_open(handle_, c, target.c_str(), target.size());
    });
  }

  // value: the check's id. The broker holds at most four checks at a time.
  Result<uint32_t> StartUrlCheck(const std::wstring& url, Deadline deadline = {}) {
    return Call<uint32_t>(deadline, [&](tarnvel_call* c, uint32_t& v) {
      return tarnvel_start_url_check(handle_, c, url.c_str(), url.size(), &v);
    });
  }
  Result<UrlCheckState> PollUrlCheck(uint32_t id, Deadline deadline = {}) {
    return Call<UrlCheckState>(deadline, [&](tarnvel_call* c, UrlCheckState& v) {
      int32_t kind = TARNVEL_URL_PENDING;
      const int32_t r = tarnvel_poll_url_check(handle_, c, id, &kind, &v.number);
      v.kind = kind == TARNVEL_URL_HTTP_STATUS ? UrlCheckState::Kind::HttpStatus
               : kind == TARNVEL_URL_ERROR     ? UrlCheckState::Kind::Error
                                               : UrlCheckState::Kind::Pending;
      return r;
    });
  }

  // Message 3; status is Success whenever reply 4 arrived (the outcome is in value.error).
  Result<PluginPipe> RequestPluginPipe(uint32_t pluginPid, Deadline deadline = {}) {
    return Call<PluginPipe>(deadline, [&](tarnvel_call* c, PluginPipe& v) {
      return tarnvel_request_plugin_pipe(handle_, c, pluginPid, &v.error, &v.handle);
    });
  }

  // Any op code with texts A, B, C, as they are; value holds status and text unchanged.
  Result<RawReply> RawRequest(int32_t op, int32_t hive, const std::wstring& a, const std::wstring& b,
                              const std::wstring& c, Deadline deadline = {}) {
    return Call<RawReply>(deadline, [&](tarnvel_call* call, RawReply& v) {
      wchar_t* text = nullptr;
      size_t length = 0;
      const int32_t r = tarnvel_raw_request(handle_, call, op, hive, a.c_str(), a.size(), b.c_str(), b.size(),
                                            c.c_str(), c.size(), &v.status, &text, &length);
      v.text = Take(text, length);
      return r;
    });
  }

  // Close the pipe, wait for the broker's exit (the shutdown deadline, or this one), terminate
  // it after that. Later calls return CallError::NotStarted; a second Shutdown() returns the
  // first one's result.
  ShutdownResult Shutdown(Deadline deadline = {}) {
    ShutdownResult out;
    tarnvel_shutdown_result r{};
    r.size = sizeof r;
    if (handle_ == nullptr || tarnvel_broker_shutdown(handle_, DeadlineMs(deadline), &r) != 0) return out;
    out.exited = r.exited != 0;
    out.terminated = r.terminated != 0;
    out.exitCode = r.exitCode;
    return out;
  }

 private:
  // Frees what the DLL allocated, on every path.
  struct Owned {
    explicit Owned(void* p) : p_(p) {}
    ~Owned() { tarnvel_free(p_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    void* p_;
  };

  static void TARNVEL_CALL DeliverLine(void* context, const char* line, size_t length) noexcept {
    try {
      (*static_cast<std::function<void(const std::string&)>*>(context))(std::string(line, length));
    } catch (...) {
      // Nothing may cross back into the DLL; a line the callback could not take is dropped.
    }
  }

  static uint32_t Ms(std::chrono::milliseconds d) {
    if (d.count() <= 0) return 1;
    return d.count() >= 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(d.count());
  }
  static uint32_t DeadlineMs(const Deadline& d) { return d ? Ms(*d) : 0u; }
  static int32_t H(Hive hive) { return static_cast<int32_t>(hive); }

  static std::wstring Take(wchar_t* text, size_t length) {
    Owned owned(text);
    return text != nullptr ? std::wstring(text, length) : std::wstring();
  }
  // The elements of a list (each followed by one U+0000).
  static std::vector<std::wstring> Split(const std::wstring& list) {
    std::vector<std::wstring> out;
    size_t start = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == L'\0') {
        out.push_back(list.substr(start, i - start));
        start = i + 1;
      }
    }
    return out;
  }

  tarnvel_broker_info Info() const {
    tarnvel_broker_info info{};
    info.size = sizeof info;
    info.startFailure = static_cast<int32_t>(failure_);
    if (handle_ != nullptr) tarnvel_broker_get_info(handle_, &info);
    return info;
  }

  // One C call: `body(record, value)` returns what the C function returned.
  template <class T, class Body>
  Result<T> Call(const Deadline& deadline, Body body) {
    Result<T> out;
    tarnvel_call record{};
    record.size = sizeof record;
    record.timeoutMs = DeadlineMs(deadline);
    if (handle_ == nullptr) return out;
    const int32_t r = body(&record, out.value);
    Owned lines(record.debugLines);
    out.rawStatus = record.status;
    if (r >= 0) {
      out.call = CallError::None;
      out.status = static_cast<RequestStatus>(r);
    } else {
      out.call = static_cast<CallError>(-r);
      const char* name = protocol::StatusName(record.status);
      out.status = name != nullptr ? static_cast<RequestStatus>(record.status) : RequestStatus::Failed;
    }
    const char* p = record.debugLines;
    for (uint32_t i = 0; p != nullptr && i < record.debugLineCount; ++i) {
      out.debugLines.emplace_back(p);
      p += out.debugLines.back().size() + 1;
    }
    return out;
  }

  template <class Body>
  Result<std::wstring> TextCall(Body body, const Deadline& deadline) {
    return Call<std::wstring>(deadline, [&](tarnvel_call* c, std::wstring& v) {
      wchar_t* text = nullptr;
      size_t length = 0;
      const int32_t r = body(c, &text, &length);
      v = Take(text, length);
      return r;
    });
  }

  tarnvel_broker* handle_ = nullptr;
  std::unique_ptr<std::function<void(const std::string&)>> onDebugLine_;
  StartFailure failure_ = StartFailure::None;
};

}  // namespace tarnvel::host
