// SPDX-License-Identifier: Apache-2.0
#include "requests/url_check.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "base/debug_line.h"
#include "base/unique_handle.h"
#include "base/win_text.h"
#include "requests/dispatcher.h"

namespace {

constexpr size_t MaxOutstandingChecks = 4;
constexpr DWORD HttpCheckTimeoutMs = 8000;
constexpr DWORD HttpCheckConnectRetries = 1;
constexpr uint32_t FirstHttpCheckId = 1;
constexpr DWORD HttpCheckUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                                    INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI;
static_assert(HttpCheckUrlFlags == 0x840C0200, "WinINet flags of the URL check");

// The worker writes done and the codes; the server thread reads them. Both under HttpCheckLock.
struct HttpCheck {
  bool done = false;
  uint32_t statusCode = 0;
  uint32_t errorCode = 0;
  uint64_t startTick = 0;
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

void RunHttpCheck(const Text& url, const std::shared_ptr<HttpCheck>& check) {
  uint32_t statusCode = 0;
  uint32_t errorCode = 0;
  {
    UniqueInternetHandle internet(
        InternetOpenW(L"Tarnvel URL check", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) {
      errorCode = GetLastError();
    } else {
      SetCheckOption(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, HttpCheckTimeoutMs);
      SetCheckOption(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, HttpCheckTimeoutMs);
      SetCheckOption(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, HttpCheckTimeoutMs);
      SetCheckOption(internet.get(), INTERNET_OPTION_CONNECT_RETRIES, HttpCheckConnectRetries);
      UniqueInternetHandle request(InternetOpenUrlW(internet.get(), WidePtr(url), nullptr, 0, HttpCheckUrlFlags, 0));
      if (!request) {
        errorCode = GetLastError();
      } else {
        DWORD code = 0;
        DWORD length = sizeof code;
        if (HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length, nullptr)) {
          statusCode = code;
        } else {
          errorCode = GetLastError();
        }
      }
      // The request handle closes before the internet handle (reverse order of declaration).
    }
  }
  std::lock_guard<std::mutex> hold(HttpCheckLock());
  check->statusCode = statusCode;
  check->errorCode = errorCode;
  check->done = true;
}

struct HttpCheckThreadArg {
  std::shared_ptr<HttpCheck> check;
  Text url;
  void (*routine)(const Text&, const std::shared_ptr<HttpCheck>&);
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

// The act takes only a judged URL, and its worker checks exactly that text.
RequestStatus StartJudgedCheck(const JudgedUrl& judged, Text& reply) {
  if (!judged.allowed()) return RequestStatus::Denied;
  const Text& url = judged.url();
  const uint64_t now = HttpCheckNow();

  std::lock_guard<std::mutex> hold(HttpCheckLock());
  HttpCheckMap& table = HttpCheckTable();
  for (auto it = table.begin(); it != table.end();) {
    if (IsHttpCheckExpired(it->second->done, it->second->startTick, now)) {
      it = table.erase(it);
    } else {
      ++it;
    }
  }
  if (table.size() >= MaxOutstandingChecks) {
    DebugLine("[TarnvelBroker] http check refused: too many outstanding\n");
    return RequestStatus::Failed;
  }

  auto check = std::make_shared<HttpCheck>();
  check->startTick = now;
  try {
    StartDetachedWorker(std::unique_ptr<HttpCheckThreadArg>(new HttpCheckThreadArg{check, url, RunHttpCheck}));
  } catch (const std::system_error&) {
    return RequestStatus::Failed;
  }

  const uint32_t id = NextHttpCheckId()++;
  table[id] = std::move(check);
  reply = AsciiText(std::to_string(id).c_str());
  return RequestStatus::Success;
}

}  // namespace

RequestStatus StartHttpCheck(const Text& url, Text& reply) {
  const JudgedUrl judged = JudgeUrl(url);
  if (!judged.allowed()) WriteRefusalLine("[TarnvelBroker] http check ", judged.verdict());
  return StartJudgedCheck(judged, reply);
}

RequestStatus PollHttpCheck(const Text& idText, Text& reply) {
  uint32_t id = 0;
  if (!ParseHttpCheckId(idText, id)) return RequestStatus::BadArgument;

  std::lock_guard<std::mutex> hold(HttpCheckLock());
  HttpCheckMap& table = HttpCheckTable();
  const auto it = table.find(id);
  if (it == table.end()) return RequestStatus::NotFound;
  const HttpCheck& check = *it->second;
  if (!check.done) {
    reply = u"pending";
    return RequestStatus::Success;
  }
  reply = HttpCheckResultText(check.statusCode, check.errorCode);
  table.erase(it);
  return RequestStatus::Success;
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
