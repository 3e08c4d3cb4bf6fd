// SPDX-License-Identifier: Apache-2.0
#include "requests/url_check_win.h"

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

#include "base/debug_line.h"
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
    // Redirects are followed here, not by WinINet: each target is judged as the first URL
    // was, and their number is bounded.
    JudgedUrl current = url;
    HINTERNET request = nullptr;
    for (uint32_t redirects = 0;; ++redirects) {
      const DWORD timeout = StepTimeoutMs(workerStartTick);
      SetCheckOption(internet, INTERNET_OPTION_CONNECT_TIMEOUT, timeout);
      SetCheckOption(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, timeout);
      SetCheckOption(internet, INTERNET_OPTION_SEND_TIMEOUT, timeout);
      request = InternetOpenUrlW(internet, WidePtr(current.url()), nullptr, 0,
                                 HttpCheckUrlFlags | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
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
      }
      if (!next) {
        errorCode = HttpCheckRedirectError;
        break;
      }
      CloseRequest(*check, request);
      request = nullptr;
      current = std::move(*next);
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
