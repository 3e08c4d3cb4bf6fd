// SPDX-License-Identifier: Apache-2.0
// The event-log writer: records go to the Application log under the source "TarnvelBroker".
// A request only queues its record; one worker thread, started with the first record, opens
// the source once and writes them, so a slow or absent event log never holds a request up,
// and a record that cannot be written is dropped. Nothing exists until a record is written.
#pragma once
#include <windows.h>

#include <cstdint>
#include "audit/record.h"

namespace tarnvel::audit {

// The host's process id that every record names; set once at start, before any request.
void SetRecordedHostProcessId(uint32_t pid);

// The process-wide writer, created on first use and never destroyed.
AuditSink& EventLog();

// Waits at most `timeoutMs` for queued records to be written, so that the broker's exit does
// not lose the last refusals. Returns at once when no record was ever written.
void FlushEventLog(DWORD timeoutMs);

}  // namespace tarnvel::audit
