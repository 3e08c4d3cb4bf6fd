// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "policy/admin_policy.h"
#include "unit/policy/show_text.h"

using namespace tarnvel::policy;

namespace {

RawPolicyValue Dword(const char* name, uint32_t v) {
  return RawPolicyValue{AsciiText(name), RegDword, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}

// Each unit's two bytes, for REG_SZ ("a;b") and REG_MULTI_SZ ("a|b||", '|' standing for NUL).
RawPolicyValue Strings(const char* name, uint32_t type, const char* text) {
  RawPolicyValue v{AsciiText(name), type, {}};
  for (const char* c = text; *c != '\0'; ++c) {
    v.data.push_back(*c == '|' && type == RegMultiSz ? 0 : uint8_t(*c));
    v.data.push_back(0);
  }
  return v;
}

// What one value (or a machine and a user value) leaves in force: the effective-policy text's
// line of the policy and the ignored lines.
struct ValueCase {
  std::vector<RawPolicyValue> machine, user;
  const char* inForce;  // the policy's line of the text report
  std::vector<std::string> ignored;
};

std::vector<std::string> ReportLines(const EffectivePolicy& p, const char* prefix) {
  std::vector<std::string> lines;
  const std::string text = EffectivePolicyText(p);
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

class EffectivePolicyTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(EffectivePolicyTest, TakesWellFormedValuesAndReportsTheRest) {
  const ValueCase& c = GetParam();
  const EffectivePolicy p = MakeEffectivePolicy(c.machine, c.user);
  const std::string name = std::string(c.inForce).substr(0, std::string(c.inForce).find(' '));
  EXPECT_EQ(ReportLines(p, (name + " ").c_str()), std::vector<std::string>{c.inForce});
  EXPECT_EQ(ReportLines(p, "ignored: "), c.ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, EffectivePolicyTest,
    ::testing::Values(
        ValueCase{{}, {}, "AllowShellOpen = 1 (built-in)", {}},
        ValueCase{{Dword("AllowShellOpen", 0)}, {}, "AllowShellOpen = 0 (machine)", {}},
        // Value names are not case-sensitive, as in the registry.
        ValueCase{{}, {Dword("allowcopyin", 0)}, "AllowCopyIn = 0 (user)", {}},
        ValueCase{{Dword("UrlCheckRefuseInward", 1)}, {}, "UrlCheckRefuseInward = 1 (machine)", {}},
        // Per value the machine's wins, even where the user's is narrower.
        ValueCase{{Dword("AllowExport", 1)},
                  {Dword("AllowExport", 0)},
                  "AllowExport = 1 (machine)",
                  {"ignored: user AllowExport: the machine's value is in force"}},
        // A malformed machine value is ignored, and the user's taken.
        ValueCase{{Dword("AllowExport", 2)},
                  {Dword("AllowExport", 0)},
                  "AllowExport = 0 (user)",
                  {"ignored: machine AllowExport: neither 0 nor 1"}},
        ValueCase{{Strings("AllowUrlChecks", RegSz, "0")},
                  {},
                  "AllowUrlChecks = 1 (built-in)",
                  {"ignored: machine AllowUrlChecks: not a REG_DWORD"}},
        ValueCase{{RawPolicyValue{u"AllowUrlChecks", RegDword, {0, 0}}},
                  {},
                  "AllowUrlChecks = 1 (built-in)",
                  {"ignored: machine AllowUrlChecks: not a REG_DWORD"}},
        ValueCase{{}, {}, "ShellOpenSchemes = http;https;ftp (built-in)", {}},
        ValueCase{{Strings("ShellOpenSchemes", RegMultiSz, "HTTPS|ftp:||")},
                  {},
                  "ShellOpenSchemes = https;ftp (machine)",
                  {}},
        ValueCase{
            {Strings("ShellOpenSchemes", RegSz, " https ; ;http")}, {}, "ShellOpenSchemes = https;http (machine)", {}},
        // An unknown item is ignored; the rest stays in force, so nothing widens.
        ValueCase{{Strings("ShellOpenSchemes", RegSz, "https;mailto")},
                  {},
                  "ShellOpenSchemes = https (machine)",
                  {"ignored: machine ShellOpenSchemes item \"mailto\": unknown item"}},
        ValueCase{{Strings("ShellOpenSchemes", RegSz, "gopher")},
                  {},
                  "ShellOpenSchemes = (none) (machine)",
                  {"ignored: machine ShellOpenSchemes item \"gopher\": unknown item"}},
        ValueCase{{Strings("ShellOpenDocumentTypes", RegSz, ".PDF;txt;exe")},
                  {},
                  "ShellOpenDocumentTypes = pdf;txt (machine)",
                  {"ignored: machine ShellOpenDocumentTypes item \"exe\": unknown item"}},
        ValueCase{{Dword("ShellOpenDocumentTypes", 1)},
                  {},
                  "ShellOpenDocumentTypes = html;htm;txt;csv;pdf;xml (built-in)",
                  {"ignored: machine ShellOpenDocumentTypes: not a REG_SZ or REG_MULTI_SZ"}},
        ValueCase{{}, {}, "UrlCheckHosts = * (built-in)", {}},
        ValueCase{{},
                  {Strings("UrlCheckHosts", RegMultiSz, "Example.COM.|*.corp.example|[::1]|a b|*.|x..y||")},
                  "UrlCheckHosts = example.com;*.corp.example;[::1] (user)",
                  {"ignored: user UrlCheckHosts item \"a b\": not a host",
                   "ignored: user UrlCheckHosts item \"*.\": not a host",
                   "ignored: user UrlCheckHosts item \"x..y\": not a host"}},
        // Odd-sized string data is no text.
        ValueCase{{RawPolicyValue{u"UrlCheckHosts", RegSz, {'a', 0, 'b'}}},
                  {},
                  "UrlCheckHosts = * (built-in)",
                  {"ignored: machine UrlCheckHosts: not a REG_SZ or REG_MULTI_SZ"}},
        ValueCase{{Dword("Audit", 1), Dword("Unknown", 1)},
                  {},
                  "Audit = 1 (machine)",
                  {"ignored: machine Unknown: unknown value"}}));

TEST(EffectivePolicy, CarriesTheAuditSwitches) {
  const EffectivePolicy p = MakeEffectivePolicy({Dword("Audit", 1)}, {Dword("AuditOnly", 1), Dword("Audit", 0)});
  EXPECT_TRUE(p.audit);
  EXPECT_TRUE(p.auditOnly);
  EXPECT_FALSE(MakeEffectivePolicy({}, {}).audit);
}

TEST(EffectivePolicy, JsonNamesEveryValueOnceWithItsSource) {
  const std::string json = EffectivePolicyJson(MakeEffectivePolicy({Strings("UrlCheckHosts", RegSz, "a.example")}, {}));
  for (const AdminPolicyRow& row : kAdminPolicies) {
    const std::string name = std::string("\"name\":\"") + row.name + "\"";
    EXPECT_EQ(json.find(name), json.rfind(name)) << row.name;
    EXPECT_NE(json.find(name), std::string::npos) << row.name;
  }
  EXPECT_NE(json.find("\"name\":\"UrlCheckHosts\",\"type\":\"list\",\"value\":[\"a.example\"],\"source\":\"machine\""),
            std::string::npos);
}

struct HostCase {
  const char16_t* host;
  bool allowed;
};
class UrlHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(UrlHostTest, MatchesExactNamesAndSuffixes) {
  const EffectivePolicy p = MakeEffectivePolicy({Strings("UrlCheckHosts", RegSz, "example.com;*.corp.example")}, {});
  EXPECT_EQ(IsUrlHostAllowed(p, GetParam().host), GetParam().allowed) << ShowText(GetParam().host);
  EXPECT_TRUE(IsUrlHostAllowed(MakeEffectivePolicy({}, {}), GetParam().host));
}

INSTANTIATE_TEST_SUITE_P(Hosts, UrlHostTest,
                         ::testing::Values(HostCase{u"example.com", true}, HostCase{u"a.example.com", false},
                                           HostCase{u"a.corp.example", true}, HostCase{u"a.b.corp.example", true},
                                           HostCase{u"corp.example", false}, HostCase{u"xcorp.example", false},
                                           HostCase{u"example.com.evil", false}));

struct AddressCase {
  const char16_t* host;
  bool inward;
};
class InwardAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(InwardAddressTest, KnowsInwardLiterals) {
  EXPECT_EQ(IsInwardAddress(GetParam().host), GetParam().inward) << ShowText(GetParam().host);
}

INSTANTIATE_TEST_SUITE_P(Addresses, InwardAddressTest,
                         ::testing::Values(AddressCase{u"127.0.0.1", true}, AddressCase{u"127.255.1.2", true},
                                           AddressCase{u"0.0.0.0", true}, AddressCase{u"10.0.0.1", true},
                                           AddressCase{u"172.16.0.1", true}, AddressCase{u"172.31.255.255", true},
                                           AddressCase{u"172.32.0.1", false}, AddressCase{u"192.168.1.1", true},
                                           AddressCase{u"169.254.0.9", true}, AddressCase{u"100.64.0.1", true},
                                           AddressCase{u"8.8.8.8", false}, AddressCase{u"192.169.0.1", false},
                                           AddressCase{u"[::1]", true}, AddressCase{u"::", true},
                                           AddressCase{u"::ffff:127.0.0.1", true},
                                           AddressCase{u"::FFFF:8.8.8.8", false}, AddressCase{u"fe80::1%eth0", true},
                                           AddressCase{u"fd12:3456::1", true}, AddressCase{u"fc00::", true},
                                           AddressCase{u"2001:db8::1", false}, AddressCase{u"1:2:3:4:5:6:7:8", false},
                                           AddressCase{u"localhost", false}, AddressCase{u"256.1.1.1", false},
                                           AddressCase{u"1.2.3", false}, AddressCase{u"1::2::3", false},
                                           AddressCase{u"[fe80::1]", true}, AddressCase{u"1:2:3:4:5:6:7:8:9", false}));

}  // namespace
