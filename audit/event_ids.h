// SPDX-License-Identifier: Apache-2.0
// The broker's event-log IDs: one per kind of refusal, each stable once shipped (a collector
// filters on them). This table is their one definition; audit/messages.mc carries each one's
// readable text under the same number and name, and a test holds the two together. Pure.
#pragma once
#include <cstdint>
#include "policy/verdict.h"

namespace tarnvel::audit {

enum class EventId : uint32_t {
  // 1000-1099: built-in refusals, one per verdict.
  Refused = 1000,  // a verdict without a name of its own
  RefusedUnknownHive = 1001,
  RefusedOutsideSubtree = 1002,
  RefusedMalformedKey = 1003,
  RefusedWriteToReadOnlyHive = 1004,
};

// A refusal answers the request with status 2; a "would refuse" record is written instead
// where an audit-only policy let the request go on.
enum class EventKind { Refusal, WouldRefuse };

struct EventInfo {
  EventId id;
  const char* name;  // the message's SymbolicName in audit/messages.mc
  EventKind kind;
};

inline constexpr EventInfo kEvents[] = {
    {EventId::Refused, "Refused", EventKind::Refusal},
    {EventId::RefusedUnknownHive, "RefusedUnknownHive", EventKind::Refusal},
    {EventId::RefusedOutsideSubtree, "RefusedOutsideSubtree", EventKind::Refusal},
    {EventId::RefusedMalformedKey, "RefusedMalformedKey", EventKind::Refusal},
    {EventId::RefusedWriteToReadOnlyHive, "RefusedWriteToReadOnlyHive", EventKind::Refusal},
};

constexpr uint32_t Code(EventId id) { return static_cast<uint32_t>(id); }

// The row of an ID; null for a number the broker never writes.
constexpr const EventInfo* FindEvent(EventId id) {
  for (const EventInfo& info : kEvents) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

// The ID of a built-in refusal by its verdict.
constexpr EventId EventOfVerdict(policy::PolicyVerdict verdict) {
  switch (verdict) {
    case policy::UnknownHive:
      return EventId::RefusedUnknownHive;
    case policy::OutsideSubtree:
      return EventId::RefusedOutsideSubtree;
    case policy::MalformedKey:
      return EventId::RefusedMalformedKey;
    case policy::WriteToReadOnlyHive:
      return EventId::RefusedWriteToReadOnlyHive;
    default:
      return EventId::Refused;
  }
}

// Every ID has one row, and the rows name distinct IDs.
constexpr bool EventRowsAreDistinct() {
  for (const EventInfo& a : kEvents) {
    int seen = 0;
    for (const EventInfo& b : kEvents) seen += a.id == b.id ? 1 : 0;
    if (seen != 1) return false;
  }
  return true;
}
static_assert(EventRowsAreDistinct(), "one row per event ID");

}  // namespace tarnvel::audit
