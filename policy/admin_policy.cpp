// SPDX-License-Identifier: Apache-2.0
#include "policy/admin_policy.h"

#include <cstdio>
#include "base/ascii.h"
#include "base/protocol.h"

namespace tarnvel::policy {

namespace {

// Today's shell schemes and document types: a list may name only these.
constexpr const char* kShellSchemes[] = {"http", "https", "ftp", nullptr};
constexpr const char* kShellDocumentTypes[] = {"html", "htm", "txt", "csv", "pdf", "xml", nullptr};

using K = AdminValueKind;
using Id = AdminPolicyId;

constexpr std::array<AdminPolicyRow, kAdminPolicyCount> kTable = {{
    {Id::AllowRegistryWrites, "AllowRegistryWrites", K::Switch, 0, nullptr, "Allow registry writes",
     "0 refuses every registry write, delete and copy-tree request; reads stay as built in.",
     "registry write denied by policy AllowRegistryWrites"},
    {Id::AllowDataFileWrites, "AllowDataFileWrites", K::Switch, 0, nullptr, "Allow plug-in data file writes",
     "0 refuses writing and deleting plug-in data files; reads stay as built in.",
     "data file write denied by policy AllowDataFileWrites"},
    {Id::AllowCopyIn, "AllowCopyIn", K::Switch, 0, nullptr, "Allow copying files in",
     "0 refuses copying files into the local temporary folder.", "file copy denied by policy AllowCopyIn"},
    {Id::AllowExport, "AllowExport", K::Switch, 0, nullptr, "Allow exporting files",
     "0 refuses exporting files from the local temporary folder.", "file export denied by policy AllowExport"},
    {Id::AllowShellOpen, "AllowShellOpen", K::Switch, 0, nullptr, "Allow shell open",
     "0 refuses opening web addresses and documents with the shell.", "shell open denied by policy AllowShellOpen"},
    {Id::AllowUrlChecks, "AllowUrlChecks", K::Switch, 0, nullptr, "Allow URL checks", "0 refuses starting URL checks.",
     "http check denied by policy AllowUrlChecks"},
    {Id::AllowPluginPipes, "AllowPluginPipes", K::Switch, 0, nullptr, "Allow plug-in pipes",
     "0 refuses handing plug-in processes a private pipe (reply 4 carries error 5).",
     "plug-in pipe denied by policy AllowPluginPipes"},
    {Id::ShellOpenSchemes, "ShellOpenSchemes", K::List, 0, kShellSchemes, "Shell open: schemes allowed",
     "Only these of http, https and ftp may be opened with the shell; documents named by path are not affected.",
     "shell open denied by policy ShellOpenSchemes"},
    {Id::ShellOpenDocumentTypes, "ShellOpenDocumentTypes", K::List, 0, kShellDocumentTypes,
     "Shell open: document types allowed",
     "Only documents (paths and ftp addresses) of these of the types html, htm, txt, csv, pdf and xml may be "
     "opened with the shell.",
     "shell open denied by policy ShellOpenDocumentTypes"},
    {Id::UrlCheckHosts, "UrlCheckHosts", K::List, 0, nullptr, "URL checks: hosts allowed",
     "URL checks, and every redirect they follow, reach only these hosts: exact names, or *.suffix for any name "
     "below suffix.",
     "http check denied by policy UrlCheckHosts"},
    {Id::UrlCheckRefuseInward, "UrlCheckRefuseInward", K::Switch, 1, nullptr, "URL checks: refuse inward addresses",
     "1 refuses URL checks whose address, or the address actually connected to for it or any redirect, is "
     "loopback, private, link-local or unique-local.",
     "http check denied by policy UrlCheckRefuseInward"},
    {Id::Audit, "Audit", K::Switch, 1, nullptr, "Audit refusals",
     "1 writes one event-log record per refusal, built-in or by policy.", nullptr},
    {Id::AuditOnly, "AuditOnly", K::Switch, 1, nullptr, "Audit policies only",
     "1 records what the policies would refuse and refuses nothing by policy.", nullptr},
}};

constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < kAdminPolicyCount; ++i) {
    if (static_cast<size_t>(kTable[i].id) != i) return false;
  }
  return true;
}
static_assert(RowsInIdOrder(), "rows in the order of their ids");

}  // namespace

const std::array<AdminPolicyRow, kAdminPolicyCount>& kAdminPolicies = kTable;

const AdminPolicyRow& AdminPolicyRowOf(AdminPolicyId id) { return kAdminPolicies[static_cast<size_t>(id)]; }

const char* AdminSourceName(AdminSource source) {
  switch (source) {
    case AdminSource::Machine:
      return "machine";
    case AdminSource::User:
      return "user";
    case AdminSource::BuiltIn:
      break;
  }
  return "built-in";
}

namespace {

bool EqualsAscii(const Text& t, const char* a) {
  size_t i = 0;
  for (; a[i] != '\0'; ++i) {
    if (i >= t.size() || t[i] != static_cast<char16_t>(static_cast<unsigned char>(a[i]))) return false;
  }
  return i == t.size();
}

const AdminPolicyRow* RowNamed(const Text& name) {
  const Text lower = AsciiLower(name);
  for (const AdminPolicyRow& row : kAdminPolicies) {
    if (AsciiLower(AsciiText(row.name)) == lower) return &row;
  }
  return nullptr;
}

// The UTF-16 units of registry string data.
bool UnitsOf(const std::vector<uint8_t>& data, Text& units) {
  if (data.size() % 2 != 0) return false;
  units.clear();
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

Text Trimmed(const Text& t) {
  size_t b = 0;
  size_t e = t.size();
  while (b < e && IsBlank(t[b])) ++b;
  while (e > b && IsBlank(t[e - 1])) --e;
  return t.substr(b, e - b);
}

// The items of a list value, split and trimmed, empty ones dropped; false when its type is
// not a list's or its data is not whole UTF-16 text.
bool ListItems(const RawPolicyValue& value, std::vector<Text>& items) {
  Text units;
  if ((value.type != RegSz && value.type != RegMultiSz) || !UnitsOf(value.data, units)) return false;
  const char16_t separator = value.type == RegSz ? u';' : u'\0';
  if (value.type == RegSz) {
    const size_t nul = units.find(u'\0');
    if (nul != Text::npos) units.resize(nul);
  }
  size_t start = 0;
  while (start <= units.size()) {
    size_t end = units.find(separator, start);
    if (end == Text::npos) end = units.size();
    const Text item = Trimmed(units.substr(start, end - start));
    // REG_MULTI_SZ ends at its first empty string.
    if (item.empty() && value.type == RegMultiSz && end - start == 0) break;
    if (!item.empty()) items.push_back(item);
    start = end + 1;
  }
  return true;
}

bool IsHostNameUnit(char16_t c) { return (c >= u'a' && c <= u'z') || IsAsciiDigit(c) || c == u'-' || c == u'.'; }

// An exact host name, a bracketed IPv6 literal, or "*." followed by a name.
bool IsHostPattern(const Text& p) {
  if (p.size() >= 2 && p.front() == u'[' && p.back() == u']') {
    for (size_t i = 1; i + 1 < p.size(); ++i) {
      const char16_t c = p[i];
      if (!(IsAsciiDigit(c) || (c >= u'a' && c <= u'f') || c == u':' || c == u'.')) return false;
    }
    return p.size() > 2;
  }
  const Text name = StartsWith(p, u"*.") ? p.substr(2) : p;
  if (name.empty() || name.front() == u'.' || name.find(u"..") != Text::npos) return false;
  for (char16_t c : name) {
    if (!IsHostNameUnit(c)) return false;
  }
  return true;
}

// The item as a list holds it, or empty when the list may not hold it.
Text ListItemInForce(const AdminPolicyRow& row, const Text& raw) {
  Text item = AsciiLower(raw);
  if (row.choices == nullptr) {
    if (item.size() > 1 && item.back() == u'.' && item.front() != u'[') item.pop_back();
    return IsHostPattern(item) ? item : Text();
  }
  // ".pdf" and "https:" name what "pdf" and "https" name.
  if (row.id == AdminPolicyId::ShellOpenDocumentTypes && StartsWith(item, u".")) item.erase(0, 1);
  if (row.id == AdminPolicyId::ShellOpenSchemes && !item.empty() && item.back() == u':') item.pop_back();
  for (const char* const* c = row.choices; *c != nullptr; ++c) {
    if (EqualsAscii(item, *c)) return item;
  }
  return Text();
}

void Ignore(EffectivePolicy& p, AdminSource source, const Text& name, const Text& item, const char* reason) {
  // Bounded: a report line names at most this much of a value's name.
  p.ignored.push_back(IgnoredPolicyValue{source, name.substr(0, MaxPolicyItemUnits), item, reason});
}

// Takes one source's value of a row into `setting`, unless a value is already in force;
// false when the value was ignored as a whole.
bool TakeValue(EffectivePolicy& p, const AdminPolicyRow& row, AdminSource source, const RawPolicyValue& value,
               PolicySetting& setting) {
  if (row.kind == AdminValueKind::Switch) {
    if (value.type != RegDword || value.data.size() != 4) {
      Ignore(p, source, value.name, Text(), "not a REG_DWORD");
      return false;
    }
    const uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (uint32_t(value.data[3]) << 24);
    if (v > 1) {
      Ignore(p, source, value.name, Text(), "neither 0 nor 1");
      return false;
    }
    setting.source = source;
    setting.active = v == row.activeWhen;
    return true;
  }
  std::vector<Text> raw;
  if (!ListItems(value, raw)) {
    Ignore(p, source, value.name, Text(), "not a REG_SZ or REG_MULTI_SZ");
    return false;
  }
  if (raw.size() > MaxPolicyListItems) {
    Ignore(p, source, value.name, Text(), "too many items");
    return false;
  }
  setting.items.clear();
  for (const Text& r : raw) {
    const Text item = r.size() <= MaxPolicyItemUnits ? ListItemInForce(row, r) : Text();
    if (item.empty()) {
      Ignore(p, source, value.name, r.substr(0, MaxPolicyItemUnits), row.choices ? "unknown item" : "not a host");
    } else {
      setting.items.push_back(item);
    }
  }
  setting.source = source;
  setting.active = true;
  return true;
}

void TakeSource(EffectivePolicy& p, AdminSource source, const std::vector<RawPolicyValue>& values) {
  for (const RawPolicyValue& value : values) {
    const AdminPolicyRow* row = RowNamed(value.name);
    if (row == nullptr) {
      Ignore(p, source, value.name, Text(), "unknown value");
      continue;
    }
    PolicySetting& setting = p.settings[static_cast<size_t>(row->id)];
    if (setting.source != AdminSource::BuiltIn) {
      if (source == AdminSource::User) {
        Ignore(p, source, value.name, Text(), "the machine's value is in force");
        p.ignored.back().malformed = false;
      }
      continue;
    }
    PolicySetting taken;
    if (TakeValue(p, *row, source, value, taken)) setting = std::move(taken);
  }
}

}  // namespace

bool EffectivePolicy::ListRefuses(AdminPolicyId id, const Text& item) const {
  const PolicySetting& s = (*this)[id];
  if (s.source == AdminSource::BuiltIn) return false;
  for (const Text& i : s.items) {
    if (i == item) return false;
  }
  return true;
}

EffectivePolicy MakeEffectivePolicy(const std::vector<RawPolicyValue>& machine,
                                    const std::vector<RawPolicyValue>& user) {
  EffectivePolicy p;
  TakeSource(p, AdminSource::Machine, machine);
  TakeSource(p, AdminSource::User, user);
  p.audit = p[AdminPolicyId::Audit].active;
  p.auditOnly = p[AdminPolicyId::AuditOnly].active;
  return p;
}

std::shared_ptr<const EffectivePolicy> BuiltInAdminPolicy() {
  static const std::shared_ptr<const EffectivePolicy>* builtIn =
      new std::shared_ptr<const EffectivePolicy>(std::make_shared<const EffectivePolicy>());
  return *builtIn;
}

std::optional<PolicyRefusal> RefusalBy(AdminPolicyId id) {
  const AdminPolicyRow& row = AdminPolicyRowOf(id);
  if (row.refusal == nullptr) return std::nullopt;
  return PolicyRefusal{id, row.refusal};
}

std::optional<PolicyRefusal> JudgePluginPipeByAdminPolicy(const EffectivePolicy& policy) {
  if (!policy[AdminPolicyId::AllowPluginPipes].active) return std::nullopt;
  return RefusalBy(AdminPolicyId::AllowPluginPipes);
}

std::optional<AdminPolicyId> CapabilityOfOp(int32_t opCode) {
  using tarnvel::protocol::FindOp;
  const tarnvel::protocol::OpInfo* info = FindOp(opCode);
  if (info == nullptr) return std::nullopt;
  switch (info->op) {
    case RequestOp::WriteAppDataFile:
    case RequestOp::DeleteAppDataFile:
      return AdminPolicyId::AllowDataFileWrites;
    case RequestOp::CopyKeyTree:
      return AdminPolicyId::AllowRegistryWrites;
    case RequestOp::ShellOpen:
      return AdminPolicyId::AllowShellOpen;
    case RequestOp::CopyFileIn:
      return AdminPolicyId::AllowCopyIn;
    case RequestOp::ExportFile:
      return AdminPolicyId::AllowExport;
    case RequestOp::StartHttpCheck:
      return AdminPolicyId::AllowUrlChecks;
    default:
      break;
  }
  if (info->usesHive && info->writes) return AdminPolicyId::AllowRegistryWrites;
  return std::nullopt;
}

bool IsUrlHostAllowed(const EffectivePolicy& policy, const Text& host) {
  const PolicySetting& s = policy[AdminPolicyId::UrlCheckHosts];
  if (s.source == AdminSource::BuiltIn) return true;
  for (const Text& pattern : s.items) {
    if (StartsWith(pattern, u"*.")) {
      const Text suffix = pattern.substr(1);  // ".example.com"
      if (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return true;
      }
    } else if (host == pattern) {
      return true;
    }
  }
  return false;
}

// ---- Literal addresses.

namespace {

// Dotted decimal, four parts of 0-255.
bool ParseIpv4(const Text& t, uint8_t (&out)[4]) {
  size_t part = 0;
  size_t i = 0;
  while (part < 4) {
    uint32_t v = 0;
    size_t digits = 0;
    while (i < t.size() && IsAsciiDigit(t[i]) && digits < 4) {
      v = v * 10 + (t[i] - u'0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || v > 255) return false;
    out[part++] = static_cast<uint8_t>(v);
    if (part < 4) {
      if (i >= t.size() || t[i] != u'.') return false;
      ++i;
    }
  }
  return i == t.size();
}

int HexValue(char16_t c) {
  if (IsAsciiDigit(c)) return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// RFC 4291 text form, with "::" and a dotted IPv4 tail; a zone ("%eth0") is dropped.
bool ParseIpv6(Text t, uint8_t (&out)[16]) {
  const size_t zone = t.find(u'%');
  if (zone != Text::npos) t.resize(zone);
  uint16_t head[8] = {};
  uint16_t tail[8] = {};
  size_t nHead = 0;
  size_t nTail = 0;
  bool gap = false;
  size_t i = 0;
  if (StartsWith(t, u"::")) {
    gap = true;
    i = 2;
  }
  while (i < t.size()) {
    size_t& n = gap ? nTail : nHead;
    uint16_t* groups = gap ? tail : head;
    const size_t end = t.find(u':', i);
    const Text group = t.substr(i, end == Text::npos ? Text::npos : end - i);
    if (end == Text::npos && group.find(u'.') != Text::npos) {
      uint8_t v4[4];
      if (!ParseIpv4(group, v4) || nHead + nTail + 2 > 8) return false;
      groups[n++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[n++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      i = t.size();
      break;
    }
    if (group.empty() || group.size() > 4 || nHead + nTail >= 8) return false;
    uint16_t v = 0;
    for (char16_t c : group) {
      const int h = HexValue(c);
      if (h < 0) return false;
      v = static_cast<uint16_t>(v << 4 | h);
    }
    groups[n++] = v;
    if (end == Text::npos) break;
    i = end + 1;
    if (i < t.size() && t[i] == u':') {
      if (gap) return false;
      gap = true;
      ++i;
    } else if (i == t.size()) {
      return false;
    }
  }
  if (gap ? nHead + nTail > 7 : nHead != 8) return false;
  uint16_t all[8] = {};
  for (size_t k = 0; k < nHead; ++k) all[k] = head[k];
  for (size_t k = 0; k < nTail; ++k) all[8 - nTail + k] = tail[k];
  for (size_t k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<uint8_t>(all[k] >> 8);
    out[2 * k + 1] = static_cast<uint8_t>(all[k] & 0xFF);
  }
  return true;
}

// 0/8 (this host), loopback, private, shared (carrier-grade) and link-local.
bool IsInwardIpv4(const uint8_t (&a)[4]) {
  return a[0] == 0 || a[0] == 127 || a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) ||
         (a[0] == 192 && a[1] == 168) || (a[0] == 169 && a[1] == 254) || (a[0] == 100 && (a[1] & 0xC0) == 64);
}

bool IsInwardIpv6(const uint8_t (&a)[16]) {
  bool zeroTo10 = true;
  for (size_t k = 0; k < 10; ++k) zeroTo10 = zeroTo10 && a[k] == 0;
  if (zeroTo10 && ((a[10] == 0xFF && a[11] == 0xFF) || (a[10] == 0 && a[11] == 0))) {
    const uint8_t v4[4] = {a[12], a[13], a[14], a[15]};
    const bool zeroTo12 = a[10] == 0;
    // "::" and "::1" are not IPv4-compatible addresses but unspecified and loopback.
    if (zeroTo12 && a[12] == 0 && a[13] == 0 && a[14] == 0 && a[15] <= 1) return true;
    return IsInwardIpv4(v4);
  }
  return (a[0] & 0xFE) == 0xFC || (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) || (a[0] == 0xFE && (a[1] & 0xC0) == 0xC0);
}

}  // namespace

bool IsInwardAddress(const Text& host) {
  Text h = AsciiLower(host);
  if (h.size() >= 2 && h.front() == u'[' && h.back() == u']') h = h.substr(1, h.size() - 2);
  uint8_t v4[4];
  if (ParseIpv4(h, v4)) return IsInwardIpv4(v4);
  uint8_t v6[16];
  return h.find(u':') != Text::npos && ParseIpv6(h, v6) && IsInwardIpv6(v6);
}

// ---- Reports.

namespace {

// ASCII as it is; every other unit, and the quote and backslash, escaped as \uXXXX.
std::string Escaped(const Text& t) {
  std::string out;
  for (char16_t c : t) {
    if (c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

// The items of a list as they are in force: the built-in choices where no value is set.
std::vector<std::string> ItemsInForce(const AdminPolicyRow& row, const PolicySetting& s) {
  std::vector<std::string> out;
  if (s.source == AdminSource::BuiltIn) {
    if (row.choices == nullptr) out.push_back("*");
    for (const char* const* c = row.choices; c != nullptr && *c != nullptr; ++c) out.push_back(*c);
  } else {
    for (const Text& i : s.items) out.push_back(Escaped(i));
  }
  return out;
}

uint32_t SwitchValue(const AdminPolicyRow& row, const PolicySetting& s) {
  return s.active ? row.activeWhen : 1 - row.activeWhen;
}

const char* TypeName(const AdminPolicyRow& row) { return row.kind == AdminValueKind::Switch ? "REG_DWORD" : "list"; }

}  // namespace

std::string EffectivePolicyText(const EffectivePolicy& policy) {
  std::string out;
  for (const AdminPolicyRow& row : kAdminPolicies) {
    const PolicySetting& s = policy[row.id];
    out += row.name;
    out += " = ";
    if (row.kind == AdminValueKind::Switch) {
      out += std::to_string(SwitchValue(row, s));
    } else {
      const std::vector<std::string> items = ItemsInForce(row, s);
      if (items.empty()) out += "(none)";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? ";" : "") + items[i];
    }
    out += std::string(" (") + AdminSourceName(s.source) + ")\n";
  }
  for (const IgnoredPolicyValue& i : policy.ignored) out += IgnoredPolicyLine(i) + "\n";
  return out;
}

std::string IgnoredPolicyLine(const IgnoredPolicyValue& i) {
  std::string out = std::string("ignored: ") + AdminSourceName(i.source) + " " + Escaped(i.name);
  if (!i.item.empty()) out += " item \"" + Escaped(i.item) + "\"";
  return out + ": " + i.reason;
}

std::string EffectivePolicyJson(const EffectivePolicy& policy) {
  std::string out = "{\"key\":\"Software\\\\Policies\\\\Tarnvel\\\\Broker\",\"policies\":[";
  for (size_t r = 0; r < kAdminPolicies.size(); ++r) {
    const AdminPolicyRow& row = kAdminPolicies[r];
    const PolicySetting& s = policy[row.id];
    out += r ? ",{" : "{";
    out += std::string("\"name\":\"") + row.name + "\",\"type\":\"" + TypeName(row) + "\",\"value\":";
    if (row.kind == AdminValueKind::Switch) {
      out += std::to_string(SwitchValue(row, s));
    } else {
      const std::vector<std::string> items = ItemsInForce(row, s);
      out += "[";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\"" : "\"") + items[i] + "\"";
      out += "]";
    }
    out += std::string(",\"source\":\"") + AdminSourceName(s.source) + "\"}";
  }
  out += "],\"ignored\":[";
  for (size_t k = 0; k < policy.ignored.size(); ++k) {
    const IgnoredPolicyValue& i = policy.ignored[k];
    out += k ? ",{" : "{";
    out += std::string("\"source\":\"") + AdminSourceName(i.source) + "\",\"name\":\"" + Escaped(i.name) +
           "\",\"item\":\"" + Escaped(i.item) + "\",\"reason\":\"" + i.reason + "\"}";
  }
  out += "]}\n";
  return out;
}

}  // namespace tarnvel::policy
