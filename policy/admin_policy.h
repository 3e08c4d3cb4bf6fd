// SPDX-License-Identifier: Apache-2.0
// Administrator policies: values an organisation sets below Software\Policies\Tarnvel\Broker
// in the machine and user hives. They only narrow the built-in rules. The table below is the
// one list of them: the broker reads exactly its values, the effective-policy report and the
// administrative templates are made from it. The reading of raw registry data into an
// effective policy, and the judgements on it, are pure; the registry itself is read by
// requests/admin_policy_source_win.h.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "base/text.h"

namespace tarnvel::policy {

enum class AdminPolicyId : uint8_t {
  AllowRegistryWrites,
  AllowDataFileWrites,
  AllowCopyIn,
  AllowExport,
  AllowShellOpen,
  AllowUrlChecks,
  AllowPluginPipes,
  ShellOpenSchemes,
  ShellOpenDocumentTypes,
  UrlCheckHosts,
  UrlCheckRefuseInward,
  Audit,
  AuditOnly,
};
constexpr size_t kAdminPolicyCount = 13;

// A switch is a REG_DWORD of 0 or 1; a list is a REG_MULTI_SZ, or a REG_SZ whose items are
// separated by ';'.
enum class AdminValueKind : uint8_t { Switch, List };

struct AdminPolicyRow {
  AdminPolicyId id;
  const char* name;  // the registry value's name
  AdminValueKind kind;
  // A switch is in force when set to this (0 turns a capability off, 1 turns a check on).
  uint32_t activeWhen;
  // The items a list may hold (lower case; nullptr-terminated), or nullptr where its items
  // are host patterns.
  const char* const* choices;
  const char* title;    // a few words, for the templates
  const char* narrows;  // one sentence: what it narrows (or does)
  // The refusal debugger line after "[TarnvelBroker] ", without its line feed; nullptr for
  // a value that refuses nothing itself.
  const char* refusal;
};

extern const std::array<AdminPolicyRow, kAdminPolicyCount>& kAdminPolicies;
const AdminPolicyRow& AdminPolicyRowOf(AdminPolicyId id);

// The keys, below HKEY_LOCAL_MACHINE (machine) and HKEY_CURRENT_USER (user).
constexpr const char16_t* kAdminPolicyKey = u"Software\\Policies\\Tarnvel\\Broker";

enum class AdminSource : uint8_t { BuiltIn, Machine, User };
const char* AdminSourceName(AdminSource source);  // "built-in", "machine", "user"

// One value as the registry holds it: name, type code (REG_DWORD 4, REG_SZ 1, REG_MULTI_SZ 7,
// anything else as given) and its bytes.
struct RawPolicyValue {
  Text name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
constexpr uint32_t RegSz = 1;
constexpr uint32_t RegDword = 4;
constexpr uint32_t RegMultiSz = 7;
// A list holds at most this many items of at most this many units; more is malformed.
constexpr size_t MaxPolicyListItems = 256;
constexpr size_t MaxPolicyItemUnits = 253;

struct PolicySetting {
  AdminSource source = AdminSource::BuiltIn;
  bool active = false;      // a switch in force
  std::vector<Text> items;  // a list in force (lower case), when its source is not BuiltIn
};

// A value, or one item of a list, that had no effect, and why.
struct IgnoredPolicyValue {
  AdminSource source;
  Text name;
  Text item;  // empty where the whole value was ignored
  std::string reason;
  bool malformed = true;  // false for a user value the machine's value overrides
  bool operator==(const IgnoredPolicyValue& o) const {
    return source == o.source && name == o.name && item == o.item && reason == o.reason;
  }
};

// What is in force, made once per change of the keys and never changed after.
struct EffectivePolicy {
  std::array<PolicySetting, kAdminPolicyCount> settings;
  std::vector<IgnoredPolicyValue> ignored;
  bool audit = false;      // one event-log record per refusal
  bool auditOnly = false;  // record what policies would refuse, refuse nothing

  const PolicySetting& operator[](AdminPolicyId id) const { return settings[static_cast<size_t>(id)]; }
  // A list in force that does not hold `item` (already lower case).
  bool ListRefuses(AdminPolicyId id, const Text& item) const;
};

// Per value the machine's wins; a machine value that is malformed is ignored and the user's
// is taken. Ignored: unknown names, wrong types, a switch other than 0 or 1, unknown list
// items (the rest of the list stays in force, so an ignored item never widens it).
EffectivePolicy MakeEffectivePolicy(const std::vector<RawPolicyValue>& machine,
                                    const std::vector<RawPolicyValue>& user);
// The policy with no value set: the built-in rules alone. Shared, never changed.
std::shared_ptr<const EffectivePolicy> BuiltInAdminPolicy();
// "ignored: machine ShellOpenSchemes item \"gopher\": unknown item", for reports and the
// debugger line that reports it once.
std::string IgnoredPolicyLine(const IgnoredPolicyValue& ignored);

// Which policy refuses a request, and its line.
struct PolicyRefusal {
  AdminPolicyId policy;
  const char* line;  // after "[TarnvelBroker] ", without its line feed
};
std::optional<PolicyRefusal> RefusalBy(AdminPolicyId id);

// A request for a plug-in pipe (message 3): refused only by its switch.
std::optional<PolicyRefusal> JudgePluginPipeByAdminPolicy(const EffectivePolicy& policy);
// The capability switch that governs an op code, if any.
std::optional<AdminPolicyId> CapabilityOfOp(int32_t opCode);
// A host allowed by the URL-check host list in force (host in lower case, without port).
bool IsUrlHostAllowed(const EffectivePolicy& policy, const Text& host);
// A host named by a literal address that is loopback, private, link-local, unique-local or
// unspecified ("127.0.0.1", "10.1.2.3", "[::1]", "fe80::1", "::ffff:192.168.0.1"). Names are not.
bool IsInwardAddress(const Text& host);

// The effective policy for people: text lines, or one JSON object.
std::string EffectivePolicyText(const EffectivePolicy& policy);
std::string EffectivePolicyJson(const EffectivePolicy& policy);

// The administrative templates made from the table.
std::string AdminTemplateAdmx();
std::string AdminTemplateAdml();

}  // namespace tarnvel::policy
