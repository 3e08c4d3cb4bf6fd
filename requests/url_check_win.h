// SPDX-License-Identifier: Apache-2.0
// Ops 23 and 24 on the system: URL checks on detached worker threads, at most four held.
#pragma once
#include <cstdint>
#include "base/op_outcome.h"
#include "base/text.h"
#include "requests/judged.h"
#include "requests/url_check.h"

namespace tarnvel::requests {

// TooMany when four checks are held already; the system's error when it refused the worker.
OpOutcome StartHttpCheck(const JudgedUrl& url, uint32_t& id);
// ErrorNotFound for an id that is not held; a finished check is delivered once and forgotten.
OpOutcome PollHttpCheck(uint32_t id, Text& reply);

// Test hooks only; the broker never calls these.
// Replaces the millisecond clock of the expiry rule (nullptr restores GetTickCount64).
void SetHttpCheckClockForTesting(uint64_t (*clock)());
// Forgets every held check (running workers finish into their own, now unlisted, state)
// and sets the id the next started check will get.
void ResetHttpChecksForTesting(uint32_t nextId = 1);
// Whether the check with this id is held and finished, without delivering its result.
bool IsHttpCheckDoneForTesting(uint32_t id);
// Makes the next worker-thread start fail as if the system had refused the thread.
void FailNextHttpCheckThreadStartForTesting();

}  // namespace tarnvel::requests
