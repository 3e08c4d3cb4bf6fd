// SPDX-License-Identifier: Apache-2.0
#include "requests/url_check_win.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "audit/event_log_win.h"
#include "base/ascii.h"
#include "base/debug_line.h"
#include "base/protocol.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace tarnvel::requests {

namespace {

constexpr size_t MaxOutstandingChecks = 4;
constexpr DWORD HttpCheckTimeoutMs = 8000;
constexpr DWORD HttpCheckConnectRetries = 1;
constexpr uint32_t FirstHttpCheckId = 1;
constexpr DWORD HttpCheckUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                    INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI;
static_assert(HttpCheckUrlFlags == 0x840C0200, "WinINet flags of the URL check");

// The worker writes done and the codes; the server thread reads them. Both under HttpCheckLock.
// A check that reaches its deadline is ended by the server thread instead, which then takes
// the worker's internet handle and closes it: that cancels the worker's blocked calls and
// closes its request handles with it. startTick never changes after the start.
struct HttpCheck {
  bool done = false;
  uint32_t statusCode = 0;
  uint32_t errorCode = 0;
  uint64_t startTick = 0;
  HINTERNET internet = nullptr;  // the worker's, while its network work runs
};

using HttpCheckMap = std::map<uint32_t, std::shared_ptr<HttpCheck>>;

// Detached workers may still run while the process exits, so these are never destroyed.
HttpCheckMap& HttpCheckTable() {
  static HttpCheckMap* table = new HttpCheckMap();
  return *table;
}

std::mutex& HttpCheckLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

// Read and advanced under HttpCheckLock only.
uint32_t& NextHttpCheckId() {
  static uint32_t* next = new uint32_t(FirstHttpCheckId);
  return *next;
}

std::atomic<uint64_t (*)()> g_clockForTesting{nullptr};
std::atomic<bool> g_failNextThreadStart{false};

uint64_t HttpCheckNow() {
  uint64_t (*clock)() = g_clockForTesting.load();
  return clock ? clock() : GetTickCount64();
}

void SetCheckOption(HINTERNET internet, DWORD option, DWORD value) {
  InternetSetOptionW(internet, option, &value, sizeof value);
}

// WinINet's time-outs for the next step: never past the check's deadline. Measured on the
// system's own clock from the worker's start (a few milliseconds after the check's), so that
// a test clock moved on by the table's tests never cuts a worker's steps short.
DWORD StepTimeoutMs(uint64_t workerStartTick) {
  const uint64_t elapsed = GetTickCount64() - workerStartTick;
  if (elapsed >= HttpCheckDeadlineMs) return 1;  // 0 would mean no time-out at all
  const uint64_t left = HttpCheckDeadlineMs - elapsed;
  return left < HttpCheckTimeoutMs ? static_cast<DWORD>(left) : HttpCheckTimeoutMs;
}

// A request handle of the worker's own. Once the check was ended at its deadline, closing
// the internet handle closed this one as well, and it is left alone.
void CloseRequest(const HttpCheck& check, HINTERNET request) {
  std::lock_guard<std::mutex> hold(HttpCheckLock());
  if (!check.done) InternetCloseHandle(request);
}

// Where a redirect response points, resolved against the URL that gave it; false when it
// has no usable Location.
bool RedirectTarget(HINTERNET request, const Text& from, Text& to) {
  constexpr DWORD MaxLocationUnits = 4096;
  wchar_t location[MaxLocationUnits + 1] = {};
  DWORD bytes = MaxLocationUnits * sizeof(wchar_t);
  if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location, &bytes, nullptr)) return false;
  wchar_t combined[MaxLocationUnits + 1] = {};
  DWORD units = MaxLocationUnits;
  if (!InternetCombineUrlW(WidePtr(from), location, combined, &units, 0)) return false;
  to = FromWide(combined, units);
  return true;
}

// ---- The administrator policy on the addresses a check reaches.

// What the status callback learns about one request: the policy that refuses the address
// it connected to. Lives on the worker's stack for the request's InternetOpenUrlW.
struct AddressWatch {
  const JudgedUrl* url;
  std::optional<policy::PolicyRefusal> refusal;
};

Text AddressText(const sockaddr* address, size_t length) {
  char host[NI_MAXHOST] = {};
  if (getnameinfo(address, static_cast<socklen_t>(length), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
    return Text();
  }
  return AsciiText(host);
}

// WinINet hands the address as text (Wine: narrow, even to a wide callback) or, as Windows
// documents for some statuses, as a socket address.
Text StatusAddress(const void* info, DWORD length) {
  if (info == nullptr || length == 0 || length > 256) return Text();
  const auto* bytes = static_cast<const uint8_t*>(info);
  const uint16_t family = length >= 2 ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8) : 0;
  if ((family == AF_INET && length == sizeof(sockaddr_in)) || (family == AF_INET6 && length == sizeof(sockaddr_in6))) {
    return AddressText(static_cast<const sockaddr*>(info), length);
  }
  Text text;
  const bool wide = length >= 4 && bytes[1] == 0 && bytes[0] != 0;
  for (DWORD i = 0; i + (wide ? 1 : 0) < length; i += wide ? 2 : 1) {
    const char16_t c = wide ? static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8) : bytes[i];
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

void CALLBACK OnHttpCheckStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
  if (status != INTERNET_STATUS_NAME_RESOLVED && status != INTERNET_STATUS_CONNECTING_TO_SERVER &&
      status != INTERNET_STATUS_CONNECTED_TO_SERVER) {
    return;
  }
  auto* watch = reinterpret_cast<AddressWatch*>(context);
  if (watch == nullptr || watch->refusal) return;
  watch->refusal = watch->url->AdminRefusalOfAddress(StatusAddress(info, length));
}

bool SocketsReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

// Every address the URL's host resolves to now, judged before anything is sent to it. WinINet
// resolves again; the address it then connects to is judged by the status callback, and a
// refusal there still keeps the answer from the requester.
std::optional<policy::PolicyRefusal> JudgeResolvedAddresses(const JudgedUrl& url) {
  Text host = HttpUrlHost(url.url());
  if (host.size() >= 2 && host.front() == u'[') host = host.substr(1, host.size() - 2);
  if (host.empty() || !url.JudgesAddresses() || !SocketsReady()) return std::nullopt;
  ADDRINFOW hints{};
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  if (GetAddrInfoW(WidePtr(host), nullptr, &hints, &found) != 0) return std::nullopt;
  std::optional<policy::PolicyRefusal> refusal;
  for (const ADDRINFOW* a = found; a != nullptr && !refusal; a = a->ai_next) {
    refusal = url.AdminRefusalOfAddress(AddressText(a->ai_addr, a->ai_addrlen));
  }
  FreeAddrInfoW(found);
  return refusal;
}

// Its line, and its record where auditing is on: the target is the address refused (the
// URL, or a redirect's target).
void WritePolicyRefusal(const policy::PolicyRefusal& refusal, const JudgedUrl& url, const Text& target) {
  const std::string line = std::string("[TarnvelBroker] ") + refusal.line + "\n";
  DebugLine(line.c_str());
  if (url.Audited()) {
    audit::EventLog().Write(audit::PolicyRecord(refusal, audit::EventKind::Refusal,
                                                audit::RecordOp(protocol::Code(RequestOp::StartHttpCheck)), target));
  }
}

void RunHttpCheck(const JudgedUrl& url, const std::shared_ptr<HttpCheck>& check) {
  const uint64_t workerStartTick = GetTickCount64();
  uint32_t statusCode = 0;
  uint32_t errorCode = 0;
  const HINTERNET internet = InternetOpenW(L"Tarnvel URL check", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!internet) {
    errorCode = GetLastError();
  } else {
    {
      std::lock_guard<std::mutex> hold(HttpCheckLock());
      if (check->done) {  // ended at its deadline before the work began
        InternetCloseHandle(internet);
        return;
      }
      check->internet = internet;
    }
    SetCheckOption(internet, INTERNET_OPTION_CONNECT_RETRIES, HttpCheckConnectRetries);
    InternetSetStatusCallbackW(internet, OnHttpCheckStatus);
    std::optional<policy::PolicyRefusal> byPolicy;
    Text refusedTarget;
    // Redirects are followed here, not by WinINet: each target is judged as the first URL
    // was, and their number is bounded.
    JudgedUrl current = url;
    HINTERNET request = nullptr;
    for (uint32_t redirects = 0;; ++redirects) {
      const DWORD timeout = StepTimeoutMs(workerStartTick);
      SetCheckOption(internet, INTERNET_OPTION_CONNECT_TIMEOUT, timeout);
      SetCheckOption(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, timeout);
      SetCheckOption(internet, INTERNET_OPTION_SEND_TIMEOUT, timeout);
      byPolicy = JudgeResolvedAddresses(current);
      if (byPolicy) break;
      AddressWatch watch{&current, std::nullopt};
      request =
          InternetOpenUrlW(internet, WidePtr(current.url()), nullptr, 0,
                           HttpCheckUrlFlags | INTERNET_FLAG_NO_AUTO_REDIRECT, reinterpret_cast<DWORD_PTR>(&watch));
      byPolicy = watch.refusal;
      if (byPolicy) break;
      if (!request) {
        errorCode = GetLastError();
        break;
      }
      DWORD code = 0;
      DWORD length = sizeof code;
      if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length, nullptr)) {
        errorCode = GetLastError();
        break;
      }
      if (!IsHttpRedirectStatus(code)) {
        statusCode = code;
        break;
      }
      Text target;
      std::optional<JudgedUrl> next;
      if (redirects < MaxHttpCheckRedirects && RedirectTarget(request, current.url(), target)) {
        next = current.RedirectTo(target);
        byPolicy = next ? current.AdminRefusalOfRedirect(target) : std::nullopt;
        if (byPolicy) {
          refusedTarget = target;
          break;
        }
      }
      if (!next) {
        errorCode = HttpCheckRedirectError;
        break;
      }
      CloseRequest(*check, request);
      request = nullptr;
      current = std::move(*next);
    }
    if (byPolicy) {
      WritePolicyRefusal(*byPolicy, current, refusedTarget.empty() ? current.url() : refusedTarget);
      statusCode = 0;
      errorCode = HttpCheckPolicyError;
    }
    {
      std::lock_guard<std::mutex> hold(HttpCheckLock());
      // Ended at its deadline meanwhile: the result is given, the handles are closed.
      if (check->done) return;
      check->internet = nullptr;
      check->statusCode = statusCode;
      check->errorCode = errorCode;
      check->done = true;
    }
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return;
  }
  std::lock_guard<std::mutex> hold(HttpCheckLock());
  if (check->done) return;
  check->statusCode = statusCode;
  check->errorCode = errorCode;
  check->done = true;
}

// Under HttpCheckLock: every running check past its deadline ends with WinINet's time-out
// error. Their internet handles are handed out, to be closed once the lock is released.
void EndOverdueChecks(uint64_t now, std::vector<HINTERNET>& abandoned) {
  for (auto& entry : HttpCheckTable()) {
    HttpCheck& check = *entry.second;
    if (!IsHttpCheckOverdue(check.done, check.startTick, now)) continue;
    check.done = true;
    check.statusCode = 0;
    check.errorCode = HttpCheckTimeoutError;
    if (check.internet != nullptr) abandoned.push_back(check.internet);
    check.internet = nullptr;
  }
}

// Cancels the abandoned workers' blocked calls; their threads then end on their own.
void CloseAbandoned(const std::vector<HINTERNET>& abandoned) {
  for (HINTERNET internet : abandoned) InternetCloseHandle(internet);
}

struct HttpCheckThreadArg {
  std::shared_ptr<HttpCheck> check;
  JudgedUrl url;
  void (*routine)(const JudgedUrl&, const std::shared_ptr<HttpCheck>&);
};

// Throws std::system_error when the system refuses the thread, as std::thread does.
void StartDetachedWorker(std::unique_ptr<HttpCheckThreadArg> arg) {
  if (g_failNextThreadStart.exchange(false)) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  std::thread worker([arg = std::move(arg)]() { arg->routine(arg->url, arg->check); });
  worker.detach();
}

}  // namespace

namespace {

// Under HttpCheckLock: expiry, the limit, the worker and the id of a new check.
OpOutcome StartLocked(const JudgedUrl& url, uint64_t now, uint32_t& id) {
  HttpCheckMap& table = HttpCheckTable();
  for (auto it = table.begin(); it != table.end();) {
    if (IsHttpCheckExpired(it->second->done, it->second->startTick, now)) {
      it = table.erase(it);
    } else {
      ++it;
    }
  }
  if (table.size() >= MaxOutstandingChecks) return NamedOutcome(OpNamed::TooMany);

  auto check = std::make_shared<HttpCheck>();
  check->startTick = now;
  try {
    StartDetachedWorker(std::unique_ptr<HttpCheckThreadArg>(new HttpCheckThreadArg{check, url, RunHttpCheck}));
  } catch (const std::system_error&) {
    return OpOutcome{ErrorNotEnoughMemory, OpStep::Act};
  }

  id = NextHttpCheckId()++;
  table[id] = std::move(check);
  return OpOutcome{};
}

OpOutcome PollLocked(uint32_t id, Text& reply) {
  HttpCheckMap& table = HttpCheckTable();
  const auto it = table.find(id);
  if (it == table.end()) return OpOutcome{ErrorNotFound, OpStep::Open};
  const HttpCheck& check = *it->second;
  if (!check.done) {
    reply = u"pending";
    return OpOutcome{};
  }
  reply = HttpCheckResultText(check.statusCode, check.errorCode);
  table.erase(it);
  return OpOutcome{};
}

}  // namespace

// The worker checks exactly the judged text (and redirect targets that pass the same check).
OpOutcome StartHttpCheck(const JudgedUrl& judged, uint32_t& id) {
  const uint64_t now = HttpCheckNow();
  std::vector<HINTERNET> abandoned;
  OpOutcome started;
  {
    std::lock_guard<std::mutex> hold(HttpCheckLock());
    EndOverdueChecks(now, abandoned);
    started = StartLocked(judged, now, id);
  }
  CloseAbandoned(abandoned);
  return started;
}

OpOutcome PollHttpCheck(uint32_t id, Text& reply) {
  std::vector<HINTERNET> abandoned;
  OpOutcome status;
  {
    std::lock_guard<std::mutex> hold(HttpCheckLock());
    EndOverdueChecks(HttpCheckNow(), abandoned);
    status = PollLocked(id, reply);
  }
  CloseAbandoned(abandoned);
  return status;
}

void SetHttpCheckClockForTesting(uint64_t (*clock)()) { g_clockForTesting.store(clock); }

void ResetHttpChecksForTesting(uint32_t nextId) {
  std::lock_guard<std::mutex> hold(HttpCheckLock());
  HttpCheckTable().clear();
  NextHttpCheckId() = nextId;
}

bool IsHttpCheckDoneForTesting(uint32_t id) {
  std::lock_guard<std::mutex> hold(HttpCheckLock());
  const auto it = HttpCheckTable().find(id);
  return it != HttpCheckTable().end() && it->second->done;
}

void FailNextHttpCheckThreadStartForTesting() { g_failNextThreadStart.store(true); }

}  // namespace tarnvel::requests
