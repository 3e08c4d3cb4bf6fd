// SPDX-License-Identifier: Apache-2.0
// The exported C functions of TarnvelHost.dll (include/tarnvel/host.h): the edge where plain C
// values become the session's calls and back. Every function catches everything, checks its
// pointers and record sizes, and sets each of its out-parameters on every path. The export
// list is TarnvelHost.def; nothing here is exported by attribute.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ipc/wire_format.h"
#include "sdk/broker_session_win.h"
#include "sdk/reply_text.h"
#include "tarnvel/protocol.h"

struct tarnvel_broker {
  tarnvel::sdk::BrokerSession session;
};

namespace {

using namespace tarnvel;
using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;
using tarnvel::sdk::CallOutcome;
namespace detail = tarnvel::host::detail;

// The records' sizes in the first version of this interface: the least a caller may pass.
// A later version only appends fields, so these stay accepted.
constexpr uint32_t OptionsSizeV1 = sizeof(tarnvel_options);
constexpr uint32_t CallSizeV1 = sizeof(tarnvel_call);
constexpr uint32_t InfoSizeV1 = sizeof(tarnvel_broker_info);
constexpr uint32_t ShutdownSizeV1 = sizeof(tarnvel_shutdown_result);

// Hosts built by other compilers lay the records out by the same C rules; these pin them.
static_assert(sizeof(void*) != 8 || (sizeof(tarnvel_options) == 80 && sizeof(tarnvel_call) == 40),
              "record layout of the x64 ABI");
static_assert(sizeof(void*) != 4 || (sizeof(tarnvel_options) == 52 && sizeof(tarnvel_call) == 28),
              "record layout of the x86 ABI");
static_assert(sizeof(tarnvel_broker_info) == 20 && sizeof(tarnvel_shutdown_result) == 16, "record layout");

// No text of a request can exceed one message of MaxTotalWords words (4 units per word).
constexpr size_t MaxTextUnits = static_cast<size_t>(ipc::MaxTotalWords) * 4;

// Why a call could not even be made.
struct Refusal {
  int32_t error;
};

void* Allocate(size_t bytes) {
  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

wchar_t* CopyText(const Text& text) {
  auto* out = static_cast<wchar_t*>(Allocate((text.size() + 1) * sizeof(wchar_t)));
  if (!text.empty()) std::memcpy(out, text.data(), text.size() * sizeof(wchar_t));
  out[text.size()] = L'\0';
  return out;
}

// A caller's text: a null pointer only with length 0.
Text TextIn(const wchar_t* p, size_t length) {
  if (p == nullptr && length != 0) throw Refusal{TARNVEL_CALL_INVALID_ARGUMENT};
  if (length > MaxTextUnits) throw Refusal{TARNVEL_CALL_TOO_LARGE};
  return length == 0 ? Text() : Text(reinterpret_cast<const char16_t*>(p), length);
}

template <class T>
void Require(T* p) {
  if (p == nullptr) throw Refusal{TARNVEL_CALL_INVALID_ARGUMENT};
}

tarnvel::sdk::BrokerSession& SessionOf(tarnvel_broker* broker) {
  Require(broker);
  return broker->session;
}

int32_t OutcomeOfStatus(int32_t status) { return status >= 0 && status <= 4 ? status : TARNVEL_FAILED; }

// The call record's input: this call's deadline (0: the default).
uint32_t TimeoutOf(const tarnvel_call* call) { return call != nullptr ? call->timeoutMs : 0; }

// Fills the call record and gives the call's return value. `error` may differ from the
// outcome's own (BadReplyText after the text was read).
int32_t Finish(tarnvel_call* call, const CallOutcome& outcome, int32_t error, int32_t status) {
  if (call != nullptr) {
    call->error = error;
    call->status = outcome.status;
    if (!outcome.debugLines.empty()) {
      size_t bytes = 0;
      for (const std::string& line : outcome.debugLines) bytes += line.size() + 1;
      char* lines = static_cast<char*>(Allocate(bytes));
      char* p = lines;
      for (const std::string& line : outcome.debugLines) {
        std::memcpy(p, line.c_str(), line.size() + 1);
        p += line.size() + 1;
      }
      call->debugLines = lines;
      call->debugLinesSize = bytes;
      call->debugLineCount = static_cast<uint32_t>(outcome.debugLines.size());
    }
  }
  return error != TARNVEL_CALL_NONE ? -error : OutcomeOfStatus(status);
}

int32_t Finish(tarnvel_call* call, const CallOutcome& outcome) {
  return Finish(call, outcome, outcome.error, outcome.status);
}

bool Succeeded(const CallOutcome& o) { return o.error == TARNVEL_CALL_NONE && o.status == 0; }

// Runs one exported function's body after resetting the call record's outputs: every
// exception stops here. A record smaller than the first version's is refused untouched.
template <class Body>
int32_t Edge(tarnvel_call* call, Body body) noexcept {
  if (call != nullptr) {
    if (call->size < CallSizeV1) return -TARNVEL_CALL_INVALID_ARGUMENT;
    call->error = TARNVEL_CALL_NONE;
    call->status = -1;
    call->debugLines = nullptr;
    call->debugLinesSize = 0;
    call->debugLineCount = 0;
  }
  int32_t error = TARNVEL_CALL_INTERNAL;
  try {
    return body();
  } catch (const Refusal& r) {
    error = r.error;
  } catch (const std::bad_alloc&) {
    error = TARNVEL_CALL_OUT_OF_MEMORY;
  } catch (...) {
    error = TARNVEL_CALL_INTERNAL;
  }
  if (call != nullptr) call->error = error;
  return -error;
}

// Requests without a value: the status is the answer.
int32_t Plain(tarnvel_broker* broker, tarnvel_call* call, RequestOp op, int32_t hive, const Text& a, const Text& b,
              const Text& c) {
  const uint32_t timeout = TimeoutOf(call);
  return Finish(call, SessionOf(broker).Request(Code(op), hive, a, b, c, timeout));
}

// Requests whose reply text is the value.
int32_t WithText(tarnvel_broker* broker, tarnvel_call* call, RequestOp op, int32_t hive, const Text& a, const Text& b,
                 wchar_t** text, size_t* length) {
  Require(text);
  Require(length);
  *text = nullptr;
  *length = 0;
  const uint32_t timeout = TimeoutOf(call);
  CallOutcome o = SessionOf(broker).Request(Code(op), hive, a, b, Text(), timeout);
  if (Succeeded(o)) {
    *text = CopyText(o.text);
    *length = o.text.size();
  }
  return Finish(call, o);
}

// Ops 8 and 16 answer "does not exist" with NotFound: that is a value, not a failure.
int32_t Existence(tarnvel_broker* broker, tarnvel_call* call, RequestOp op, int32_t hive, const Text& a,
                  int32_t* exists) {
  Require(exists);
  *exists = 0;
  const uint32_t timeout = TimeoutOf(call);
  CallOutcome o = SessionOf(broker).Request(Code(op), hive, a, Text(), Text(), timeout);
  if (o.error == TARNVEL_CALL_NONE && (o.status == 0 || o.status == 1)) {
    *exists = o.status == 0 ? 1 : 0;
    return Finish(call, o, TARNVEL_CALL_NONE, 0);
  }
  return Finish(call, o);
}

// A Success reply whose text fails `parse` is BadReplyText.
template <class Parse>
int32_t Parsed(tarnvel_call* call, const CallOutcome& o, Parse parse) {
  if (Succeeded(o) && !parse(o.text)) return Finish(call, o, TARNVEL_CALL_BAD_REPLY_TEXT, o.status);
  return Finish(call, o);
}

int32_t List(tarnvel_broker* broker, tarnvel_call* call, RequestOp op, int32_t hive, const Text& key, bool pairs,
             wchar_t** list, size_t* length, size_t* count) {
  Require(list);
  Require(length);
  Require(count);
  *list = nullptr;
  *length = 0;
  *count = 0;
  const uint32_t timeout = TimeoutOf(call);
  CallOutcome o = SessionOf(broker).Request(Code(op), hive, key, Text(), Text(), timeout);
  return Parsed(call, o, [&](const Text& text) {
    std::vector<Text> items;
    if (!detail::SplitList(text, items) || (pairs && items.size() % 2 != 0)) return false;
    *list = CopyText(text);
    *length = text.size();
    *count = pairs ? items.size() / 2 : items.size();
    return true;
  });
}

const char* const CallErrorNames[] = {
    "none",
    "not started or connection ended",
    "no reply within the time-out",
    "pipe broken",
    "malformed message",
    "wrong reply",
    "write failed",
    "reply text not of the expected form",
    "invalid argument",
    "request too large for one message",
    "out of memory",
    "internal failure",
};

const char* const StartFailureNames[] = {
    "none",
    "cannot create the broker process",
    "the broker exited before accepting",
    "connect timed out",
    "bad options",
    "already started",
    "out of memory",
};

// The two number reads differ only in their op code and width.
template <class Number>
int32_t ReadNumber(tarnvel_broker* broker, tarnvel_call* call, RequestOp op, int32_t hive, const wchar_t* key,
                   size_t keyLength, const wchar_t* name, size_t nameLength, Number* value,
                   bool (*parse)(const Text&, Number&)) {
  Require(value);
  *value = 0;
  const Text k = TextIn(key, keyLength), n = TextIn(name, nameLength);
  const uint32_t timeout = TimeoutOf(call);
  CallOutcome o = SessionOf(broker).Request(Code(op), hive, k, n, Text(), timeout);
  return Parsed(call, o, [&](const Text& t) { return parse(t, *value); });
}

}  // namespace

extern "C" {

uint32_t TARNVEL_CALL tarnvel_version(void) { return TARNVEL_VERSION_NUMBER; }

void TARNVEL_CALL tarnvel_free(void* memory) { std::free(memory); }

tarnvel_broker* TARNVEL_CALL tarnvel_broker_create(void) {
  try {
    return new tarnvel_broker;
  } catch (...) {
    return nullptr;
  }
}

void TARNVEL_CALL tarnvel_broker_destroy(tarnvel_broker* broker) {
  try {
    delete broker;
  } catch (...) {
    // The session's own teardown does not throw; nothing may leave this function anyway.
  }
}

int32_t TARNVEL_CALL tarnvel_broker_start(tarnvel_broker* broker, const tarnvel_options* options) {
  if (broker == nullptr) return TARNVEL_START_BAD_OPTIONS;
  tarnvel::sdk::BrokerSession& session = broker->session;
  try {
    if (options == nullptr || options->size < OptionsSizeV1) return session.Refuse(TARNVEL_START_BAD_OPTIONS);
    // Only the fields the caller's size covers are read; a later, longer record is welcome.
    tarnvel_options o{};
    std::memcpy(&o, options, std::min<size_t>(options->size, sizeof o));
    const bool known = (o.flags & ~static_cast<uint32_t>(TARNVEL_OPTION_DEBUG_LINES)) == 0;
    // No exe is the broker beside this DLL; a relative one is found from the DLL's folder too.
    const bool texts = (o.exe != nullptr || o.exeLength == 0) && (o.pipeName != nullptr || o.pipeNameLength == 0);
    const bool width = o.handleBits == 0 || o.handleBits == 32 || o.handleBits == 64;
    if (!known || !texts || !width) return session.Refuse(TARNVEL_START_BAD_OPTIONS);
    tarnvel::sdk::SessionOptions s;
    if (o.exeLength != 0) s.exe.assign(o.exe, o.exeLength);
    if (o.pipeNameLength != 0) s.pipeName.assign(o.pipeName, o.pipeNameLength);
    s.hostPid = o.hostPid;
    s.handleBits = static_cast<int>(o.handleBits);
    s.debugLines = (o.flags & TARNVEL_OPTION_DEBUG_LINES) != 0;
    if (o.connectTimeoutMs != 0) s.connectMs = o.connectTimeoutMs;
    if (o.callTimeoutMs != 0) s.callMs = o.callTimeoutMs;
    if (o.shutdownTimeoutMs != 0) s.shutdownMs = o.shutdownTimeoutMs;
    if (o.onDebugLine != nullptr) {
      tarnvel_debug_line_fn fn = o.onDebugLine;
      void* context = o.onDebugLineContext;
      s.onDebugLine = [fn, context](const std::string& line) { fn(context, line.c_str(), line.size()); };
    }
    return session.Start(std::move(s));
  } catch (const std::bad_alloc&) {
    return session.Refuse(TARNVEL_START_OUT_OF_MEMORY);
  } catch (...) {
    return session.Refuse(TARNVEL_START_CANNOT_CREATE_PROCESS);
  }
}

int32_t TARNVEL_CALL tarnvel_broker_get_info(const tarnvel_broker* broker, tarnvel_broker_info* info) {
  try {
    if (broker == nullptr || info == nullptr || info->size < InfoSizeV1) return -TARNVEL_CALL_INVALID_ARGUMENT;
    const tarnvel::sdk::StartInfo s = broker->session.Info();
    info->startFailure = s.failure;
    info->windowsError = s.windowsError;
    info->exitCode = s.exitCode;
    info->pid = s.pid;
    return 0;
  } catch (...) {
    return -TARNVEL_CALL_INTERNAL;
  }
}

int32_t TARNVEL_CALL tarnvel_broker_pipe_name(const tarnvel_broker* broker, wchar_t** name, size_t* length) {
  if (name != nullptr) *name = nullptr;
  if (length != nullptr) *length = 0;
  return Edge(nullptr, [&] {
    Require(broker);
    Require(name);
    Require(length);
    const std::wstring pipe = broker->session.PipeName();
    *name = CopyText(Text(pipe.begin(), pipe.end()));
    *length = pipe.size();
    return 0;
  });
}

int32_t TARNVEL_CALL tarnvel_broker_shutdown(tarnvel_broker* broker, uint32_t timeoutMs,
                                             tarnvel_shutdown_result* result) {
  try {
    if (broker == nullptr || (result != nullptr && result->size < ShutdownSizeV1)) {
      return -TARNVEL_CALL_INVALID_ARGUMENT;
    }
    const tarnvel::sdk::ShutdownOutcome s = broker->session.Shutdown(timeoutMs);
    if (result != nullptr) {
      result->exited = s.exited ? 1 : 0;
      result->terminated = s.terminated ? 1 : 0;
      result->exitCode = s.exitCode;
    }
    return 0;
  } catch (...) {
    return -TARNVEL_CALL_INTERNAL;
  }
}

int32_t TARNVEL_CALL tarnvel_ping(tarnvel_broker* broker, tarnvel_call* call, wchar_t** text, size_t* length) {
  return Edge(call, [&] { return WithText(broker, call, RequestOp::Ping, 0, Text(), Text(), text, length); });
}

int32_t TARNVEL_CALL tarnvel_read_string(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                         size_t keyLength, const wchar_t* name, size_t nameLength, wchar_t** text,
                                         size_t* length) {
  return Edge(call, [&] {
    return WithText(broker, call, RequestOp::ReadString, hive, TextIn(key, keyLength), TextIn(name, nameLength), text,
                    length);
  });
}

int32_t TARNVEL_CALL tarnvel_read_dword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                        size_t keyLength, const wchar_t* name, size_t nameLength, uint32_t* value) {
  return Edge(call, [&] {
    return ReadNumber(broker, call, RequestOp::ReadDword, hive, key, keyLength, name, nameLength, value,
                      detail::ParseUnsigned32);
  });
}

int32_t TARNVEL_CALL tarnvel_read_qword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                        size_t keyLength, const wchar_t* name, size_t nameLength, uint64_t* value) {
  return Edge(call, [&] {
    return ReadNumber(broker, call, RequestOp::ReadQword, hive, key, keyLength, name, nameLength, value,
                      detail::ParseUnsigned64);
  });
}

int32_t TARNVEL_CALL tarnvel_write_string(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                          size_t keyLength, const wchar_t* name, size_t nameLength, const wchar_t* text,
                                          size_t textLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::WriteString, hive, TextIn(key, keyLength), TextIn(name, nameLength),
                 TextIn(text, textLength));
  });
}

int32_t TARNVEL_CALL tarnvel_write_dword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                         size_t keyLength, const wchar_t* name, size_t nameLength, uint32_t value) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::WriteDword, hive, TextIn(key, keyLength), TextIn(name, nameLength),
                 detail::DecimalText(value));
  });
}

int32_t TARNVEL_CALL tarnvel_write_qword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                         size_t keyLength, const wchar_t* name, size_t nameLength, uint64_t value) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::WriteQword, hive, TextIn(key, keyLength), TextIn(name, nameLength),
                 detail::DecimalText(value));
  });
}

int32_t TARNVEL_CALL tarnvel_delete_value(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                          size_t keyLength, const wchar_t* name, size_t nameLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::DeleteValue, hive, TextIn(key, keyLength), TextIn(name, nameLength), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_delete_key(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                        size_t keyLength) {
  return Edge(call,
              [&] { return Plain(broker, call, RequestOp::DeleteKey, hive, TextIn(key, keyLength), Text(), Text()); });
}

int32_t TARNVEL_CALL tarnvel_delete_tree(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                         size_t keyLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::DeleteKeyTree, hive, TextIn(key, keyLength), Text(), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_key_exists(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                        size_t keyLength, int32_t* exists) {
  return Edge(call,
              [&] { return Existence(broker, call, RequestOp::KeyExists, hive, TextIn(key, keyLength), exists); });
}

int32_t TARNVEL_CALL tarnvel_list_keys(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                       size_t keyLength, wchar_t** list, size_t* length, size_t* count) {
  return Edge(call, [&] {
    return List(broker, call, RequestOp::ListSubkeys, hive, TextIn(key, keyLength), false, list, length, count);
  });
}

int32_t TARNVEL_CALL tarnvel_list_values(tarnvel_broker* broker, tarnvel_call* call, int32_t hive, const wchar_t* key,
                                         size_t keyLength, wchar_t** list, size_t* length, size_t* count) {
  return Edge(call, [&] {
    return List(broker, call, RequestOp::ListValues, hive, TextIn(key, keyLength), true, list, length, count);
  });
}

int32_t TARNVEL_CALL tarnvel_copy_tree(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                       const wchar_t* sourceKey, size_t sourceKeyLength, const wchar_t* destinationKey,
                                       size_t destinationKeyLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::CopyKeyTree, hive, TextIn(sourceKey, sourceKeyLength),
                 TextIn(destinationKey, destinationKeyLength), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_read_data_file(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* path,
                                            size_t pathLength, uint8_t** bytes, size_t* size) {
  return Edge(call, [&] {
    Require(bytes);
    Require(size);
    *bytes = nullptr;
    *size = 0;
    const Text p = TextIn(path, pathLength);
    const uint32_t timeout = TimeoutOf(call);
    CallOutcome o = SessionOf(broker).Request(Code(RequestOp::ReadAppDataFile), 0, p, Text(), Text(), timeout);
    return Parsed(call, o, [&](const Text& t) {
      std::vector<uint8_t> decoded;
      if (!detail::DecodeHexText(t, decoded)) return false;
      *bytes = static_cast<uint8_t*>(Allocate(decoded.size()));
      if (!decoded.empty()) std::memcpy(*bytes, decoded.data(), decoded.size());
      *size = decoded.size();
      return true;
    });
  });
}

int32_t TARNVEL_CALL tarnvel_write_data_file(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* path,
                                             size_t pathLength, const uint8_t* bytes, size_t size) {
  return Edge(call, [&] {
    if (bytes == nullptr && size != 0) throw Refusal{TARNVEL_CALL_INVALID_ARGUMENT};
    if (size > MaxTextUnits / 2) throw Refusal{TARNVEL_CALL_TOO_LARGE};
    return Plain(broker, call, RequestOp::WriteAppDataFile, 0, TextIn(path, pathLength), Text(),
                 detail::HexText(bytes, size));
  });
}

int32_t TARNVEL_CALL tarnvel_data_file_exists(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* path,
                                              size_t pathLength, int32_t* exists) {
  return Edge(
      call, [&] { return Existence(broker, call, RequestOp::AppDataFileExists, 0, TextIn(path, pathLength), exists); });
}

int32_t TARNVEL_CALL tarnvel_delete_data_file(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* path,
                                              size_t pathLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::DeleteAppDataFile, 0, TextIn(path, pathLength), Text(), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_copy_in(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* source,
                                     size_t sourceLength, const wchar_t* destination, size_t destinationLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::CopyFileIn, 0, TextIn(source, sourceLength),
                 TextIn(destination, destinationLength), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_export(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* source,
                                    size_t sourceLength, const wchar_t* destination, size_t destinationLength) {
  return Edge(call, [&] {
    return Plain(broker, call, RequestOp::ExportFile, 0, TextIn(source, sourceLength),
                 TextIn(destination, destinationLength), Text());
  });
}

int32_t TARNVEL_CALL tarnvel_shell_open(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* target,
                                        size_t targetLength) {
  return Edge(
      call, [&] { return Plain(broker, call, RequestOp::ShellOpen, 0, TextIn(target, targetLength), Text(), Text()); });
}

int32_t TARNVEL_CALL tarnvel_start_url_check(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* url,
                                             size_t urlLength, uint32_t* id) {
  return Edge(call, [&] {
    Require(id);
    *id = 0;
    const Text u = TextIn(url, urlLength);
    const uint32_t timeout = TimeoutOf(call);
    CallOutcome o = SessionOf(broker).Request(Code(RequestOp::StartHttpCheck), 0, u, Text(), Text(), timeout);
    return Parsed(call, o, [&](const Text& t) { return detail::ParseUnsigned32(t, *id); });
  });
}

int32_t TARNVEL_CALL tarnvel_poll_url_check(tarnvel_broker* broker, tarnvel_call* call, uint32_t id, int32_t* kind,
                                            uint32_t* number) {
  return Edge(call, [&] {
    Require(kind);
    Require(number);
    *kind = TARNVEL_URL_PENDING;
    *number = 0;
    const uint32_t timeout = TimeoutOf(call);
    CallOutcome o =
        SessionOf(broker).Request(Code(RequestOp::PollHttpCheck), 0, detail::DecimalText(id), Text(), Text(), timeout);
    return Parsed(call, o, [&](const Text& t) {
      detail::PollKind k = detail::PollKind::Pending;
      if (!detail::ParseUrlPoll(t, k, *number)) return false;
      *kind = k == detail::PollKind::Pending      ? TARNVEL_URL_PENDING
              : k == detail::PollKind::HttpStatus ? TARNVEL_URL_HTTP_STATUS
                                                  : TARNVEL_URL_ERROR;
      return true;
    });
  });
}

int32_t TARNVEL_CALL tarnvel_request_plugin_pipe(tarnvel_broker* broker, tarnvel_call* call, uint32_t pluginPid,
                                                 uint32_t* error, int64_t* handle) {
  return Edge(call, [&] {
    Require(error);
    Require(handle);
    *error = 0;
    *handle = -1;
    const uint32_t timeout = TimeoutOf(call);
    CallOutcome o = SessionOf(broker).RequestPluginPipe(pluginPid, timeout);
    if (o.error == TARNVEL_CALL_NONE) {
      *error = o.pipeError;
      *handle = o.pipeHandle;
    }
    return Finish(call, o);
  });
}

int32_t TARNVEL_CALL tarnvel_raw_request(tarnvel_broker* broker, tarnvel_call* call, int32_t op, int32_t hive,
                                         const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength,
                                         const wchar_t* c, size_t cLength, int32_t* status, wchar_t** text,
                                         size_t* length) {
  return Edge(call, [&] {
    Require(status);
    Require(text);
    Require(length);
    *status = -1;
    *text = nullptr;
    *length = 0;
    const Text ta = TextIn(a, aLength), tb = TextIn(b, bLength), tc = TextIn(c, cLength);
    const uint32_t timeout = TimeoutOf(call);
    CallOutcome o = SessionOf(broker).Request(op, hive, ta, tb, tc, timeout);
    if (o.error == TARNVEL_CALL_NONE) {
      *status = o.status;
      *text = CopyText(o.text);
      *length = o.text.size();
    }
    return Finish(call, o);
  });
}

const char* TARNVEL_CALL tarnvel_call_error_name(int32_t error) {
  const int32_t n = static_cast<int32_t>(sizeof CallErrorNames / sizeof CallErrorNames[0]);
  return error >= 0 && error < n ? CallErrorNames[error] : "?";
}

const char* TARNVEL_CALL tarnvel_status_name(int32_t status) {
  const char* name = tarnvel::protocol::StatusName(status);
  return name != nullptr ? name : "?";
}

const char* TARNVEL_CALL tarnvel_start_failure_name(int32_t failure) {
  const int32_t n = static_cast<int32_t>(sizeof StartFailureNames / sizeof StartFailureNames[0]);
  return failure >= 0 && failure < n ? StartFailureNames[failure] : "?";
}

}  // extern "C"
