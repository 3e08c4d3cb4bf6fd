// SPDX-License-Identifier: Apache-2.0
// The pure rules of ops 23 and 24, the URL checks: the URL policy and the check table.
#pragma once
#include <cstdint>
#include "base/text.h"
#include "policy/verdict.h"
#include "requests/policy_vocabulary.h"
#include "base/protocol.h"

namespace tarnvel::requests {

[[nodiscard]] PolicyVerdict CheckHttpUrl(const Text& url);  // pure
// The host an http(s) URL names, lower case, without port or a final '.' (an IPv6 literal
// keeps its brackets); empty for any other text.
Text HttpUrlHost(const Text& url);

// Pure rules of the check table. An id text is 1 to 10 decimal digits; a larger value
// addresses check 4294967295 (which is never handed out). False for anything else.
[[nodiscard]] bool ParseHttpCheckId(const Text& idText, uint32_t& id);
// A finished check not polled within two minutes of its start is dropped by the next start.
constexpr uint64_t HttpCheckExpiryMs = 120000;
[[nodiscard]] inline bool IsHttpCheckExpired(bool done, uint64_t startTick, uint64_t now) {
  return done && now - startTick > HttpCheckExpiryMs;
}
// Every check ends within this many milliseconds of its start: one still running then ends
// with WinINet's time-out error (12002) and its network work is abandoned, so checks that
// never answer cannot hold the table's slots.
constexpr uint64_t HttpCheckDeadlineMs = 30000;
constexpr uint32_t HttpCheckTimeoutError = 12002;  // ERROR_INTERNET_TIMEOUT
[[nodiscard]] inline bool IsHttpCheckOverdue(bool done, uint64_t startTick, uint64_t now) {
  return !done && now - startTick >= HttpCheckDeadlineMs;
}
// Redirects followed at most; one more, or one to anything but an allowed http(s) URL, ends
// the check with ERROR_HTTP_REDIRECT_FAILED (12156).
constexpr uint32_t MaxHttpCheckRedirects = 5;
constexpr uint32_t HttpCheckRedirectError = 12156;
[[nodiscard]] inline bool IsHttpRedirectStatus(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
// A check refused by an administrator policy on an address it reached (a redirect's target,
// or the address actually connected to) ends with ERROR_ACCESS_DENIED.
constexpr uint32_t HttpCheckPolicyError = 5;
// The poll reply of a finished check: "error <code>" when the check failed, else "http <status>".
Text HttpCheckResultText(uint32_t statusCode, uint32_t errorCode);

}  // namespace tarnvel::requests
