// SPDX-License-Identifier: Apache-2.0
// The broker's event-log IDs: one per kind of refusal, each stable once shipped (a collector
// filters on them). This table is their one definition; audit/messages.mc carries each one's
// readable text under the same number and name, and a test holds the two together. Pure.
#pragma once
#include <cstdint>
#include "policy/admin_policy.h"
#include "policy/verdict.h"

namespace tarnvel::audit {

enum class EventId : uint32_t {
  // 1000-1099: built-in refusals, one per verdict.
  Refused = 1000,  // a verdict without a name of its own
  RefusedUnknownHive = 1001,
  RefusedOutsideSubtree = 1002,
  RefusedMalformedKey = 1003,
  RefusedWriteToReadOnlyHive = 1004,
  // 2000-2099: refusals by an administrator policy, one per policy (2000: a policy without
  // an ID of its own).
  RefusedByPolicy = 2000,
  RefusedByAllowRegistryWrites = 2001,
  RefusedByAllowDataFileWrites = 2002,
  RefusedByAllowCopyIn = 2003,
  RefusedByAllowExport = 2004,
  RefusedByAllowShellOpen = 2005,
  RefusedByAllowUrlChecks = 2006,
  RefusedByAllowPluginPipes = 2007,
  RefusedByShellOpenSchemes = 2008,
  RefusedByShellOpenDocumentTypes = 2009,
  RefusedByUrlCheckHosts = 2010,
  RefusedByUrlCheckRefuseInward = 2011,
  // 3000-3099: what a policy would have refused in audit-only mode, where the request went
  // on; 3000 + n goes with 2000 + n.
  WouldRefuseByPolicy = 3000,
  WouldRefuseByAllowRegistryWrites = 3001,
  WouldRefuseByAllowDataFileWrites = 3002,
  WouldRefuseByAllowCopyIn = 3003,
  WouldRefuseByAllowExport = 3004,
  WouldRefuseByAllowShellOpen = 3005,
  WouldRefuseByAllowUrlChecks = 3006,
  WouldRefuseByAllowPluginPipes = 3007,
  WouldRefuseByShellOpenSchemes = 3008,
  WouldRefuseByShellOpenDocumentTypes = 3009,
  WouldRefuseByUrlCheckHosts = 3010,
  WouldRefuseByUrlCheckRefuseInward = 3011,
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
    {EventId::RefusedByPolicy, "RefusedByPolicy", EventKind::Refusal},
    {EventId::RefusedByAllowRegistryWrites, "RefusedByAllowRegistryWrites", EventKind::Refusal},
    {EventId::RefusedByAllowDataFileWrites, "RefusedByAllowDataFileWrites", EventKind::Refusal},
    {EventId::RefusedByAllowCopyIn, "RefusedByAllowCopyIn", EventKind::Refusal},
    {EventId::RefusedByAllowExport, "RefusedByAllowExport", EventKind::Refusal},
    {EventId::RefusedByAllowShellOpen, "RefusedByAllowShellOpen", EventKind::Refusal},
    {EventId::RefusedByAllowUrlChecks, "RefusedByAllowUrlChecks", EventKind::Refusal},
    {EventId::RefusedByAllowPluginPipes, "RefusedByAllowPluginPipes", EventKind::Refusal},
    {EventId::RefusedByShellOpenSchemes, "RefusedByShellOpenSchemes", EventKind::Refusal},
    {EventId::RefusedByShellOpenDocumentTypes, "RefusedByShellOpenDocumentTypes", EventKind::Refusal},
    {EventId::RefusedByUrlCheckHosts, "RefusedByUrlCheckHosts", EventKind::Refusal},
    {EventId::RefusedByUrlCheckRefuseInward, "RefusedByUrlCheckRefuseInward", EventKind::Refusal},
    {EventId::WouldRefuseByPolicy, "WouldRefuseByPolicy", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowRegistryWrites, "WouldRefuseByAllowRegistryWrites", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowDataFileWrites, "WouldRefuseByAllowDataFileWrites", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowCopyIn, "WouldRefuseByAllowCopyIn", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowExport, "WouldRefuseByAllowExport", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowShellOpen, "WouldRefuseByAllowShellOpen", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowUrlChecks, "WouldRefuseByAllowUrlChecks", EventKind::WouldRefuse},
    {EventId::WouldRefuseByAllowPluginPipes, "WouldRefuseByAllowPluginPipes", EventKind::WouldRefuse},
    {EventId::WouldRefuseByShellOpenSchemes, "WouldRefuseByShellOpenSchemes", EventKind::WouldRefuse},
    {EventId::WouldRefuseByShellOpenDocumentTypes, "WouldRefuseByShellOpenDocumentTypes", EventKind::WouldRefuse},
    {EventId::WouldRefuseByUrlCheckHosts, "WouldRefuseByUrlCheckHosts", EventKind::WouldRefuse},
    {EventId::WouldRefuseByUrlCheckRefuseInward, "WouldRefuseByUrlCheckRefuseInward", EventKind::WouldRefuse},
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

// The IDs of a refusal by each administrator policy that refuses anything.
struct PolicyEvents {
  policy::AdminPolicyId policy;
  EventId refused, wouldRefuse;
};
inline constexpr PolicyEvents kPolicyEvents[] = {
    {policy::AdminPolicyId::AllowRegistryWrites, EventId::RefusedByAllowRegistryWrites,
     EventId::WouldRefuseByAllowRegistryWrites},
    {policy::AdminPolicyId::AllowDataFileWrites, EventId::RefusedByAllowDataFileWrites,
     EventId::WouldRefuseByAllowDataFileWrites},
    {policy::AdminPolicyId::AllowCopyIn, EventId::RefusedByAllowCopyIn, EventId::WouldRefuseByAllowCopyIn},
    {policy::AdminPolicyId::AllowExport, EventId::RefusedByAllowExport, EventId::WouldRefuseByAllowExport},
    {policy::AdminPolicyId::AllowShellOpen, EventId::RefusedByAllowShellOpen, EventId::WouldRefuseByAllowShellOpen},
    {policy::AdminPolicyId::AllowUrlChecks, EventId::RefusedByAllowUrlChecks, EventId::WouldRefuseByAllowUrlChecks},
    {policy::AdminPolicyId::AllowPluginPipes, EventId::RefusedByAllowPluginPipes,
     EventId::WouldRefuseByAllowPluginPipes},
    {policy::AdminPolicyId::ShellOpenSchemes, EventId::RefusedByShellOpenSchemes,
     EventId::WouldRefuseByShellOpenSchemes},
    {policy::AdminPolicyId::ShellOpenDocumentTypes, EventId::RefusedByShellOpenDocumentTypes,
     EventId::WouldRefuseByShellOpenDocumentTypes},
    {policy::AdminPolicyId::UrlCheckHosts, EventId::RefusedByUrlCheckHosts, EventId::WouldRefuseByUrlCheckHosts},
    {policy::AdminPolicyId::UrlCheckRefuseInward, EventId::RefusedByUrlCheckRefuseInward,
     EventId::WouldRefuseByUrlCheckRefuseInward},
};

// The ID of a refusal by `policy`, or of what it would have refused.
constexpr EventId EventOfPolicy(policy::AdminPolicyId policy, EventKind kind) {
  for (const PolicyEvents& row : kPolicyEvents) {
    if (row.policy == policy) return kind == EventKind::Refusal ? row.refused : row.wouldRefuse;
  }
  return kind == EventKind::Refusal ? EventId::RefusedByPolicy : EventId::WouldRefuseByPolicy;
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
