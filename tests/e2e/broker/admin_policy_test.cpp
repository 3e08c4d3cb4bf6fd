// SPDX-License-Identifier: Apache-2.0
// Administrator policies as an organisation sets them: values below Software\Policies\Tarnvel\Broker
// in the machine and user hives of the test prefix, read by a real broker. The tests run one at
// a time in the prefix; each removes the keys before and after.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/http_test_server.h"

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr wchar_t kKey[] = L"Software\\Policies\\Tarnvel\\Broker";

void RemovePolicies() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    UniqueRegKey policies;
    if (RegOpenKeyExW(root, L"Software\\Policies", 0, KEY_ALL_ACCESS | kView, policies.put()) == ERROR_SUCCESS) {
      RegDeleteTreeW(policies.get(), L"Tarnvel");
    }
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tarnvel\\e2e-policy");
}

// Removes every policy value before and after a test.
struct PolicyKeys {
  PolicyKeys() { RemovePolicies(); }
  ~PolicyKeys() { RemovePolicies(); }
  PolicyKeys(const PolicyKeys&) = delete;
  PolicyKeys& operator=(const PolicyKeys&) = delete;
};

struct PolicyValue {
  HKEY root;
  const wchar_t* name;
  DWORD type;
  std::wstring text;  // REG_SZ text, or a REG_DWORD's decimal digits
};

void Set(const PolicyValue& v) {
  UniqueRegKey key;
  ASSERT_EQ(RegCreateKeyExW(v.root, kKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  if (v.type == REG_DWORD) {
    const DWORD d = static_cast<DWORD>(std::stoul(v.text));
    ASSERT_EQ(RegSetValueExW(key.get(), v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d),
              ERROR_SUCCESS);
  } else {
    ASSERT_EQ(RegSetValueExW(key.get(), v.name, 0, v.type, reinterpret_cast<const BYTE*>(v.text.c_str()),
                             static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
}

void Delete(HKEY root, const wchar_t* name) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, kKey, 0, KEY_SET_VALUE | kView, key.put()) == ERROR_SUCCESS) RegDeleteValueW(key.get(), name);
}

PolicyValue Machine(const wchar_t* name, DWORD d) { return {HKEY_LOCAL_MACHINE, name, REG_DWORD, std::to_wstring(d)}; }
PolicyValue User(const wchar_t* name, DWORD d) { return {HKEY_CURRENT_USER, name, REG_DWORD, std::to_wstring(d)}; }
PolicyValue MachineList(const wchar_t* name, const wchar_t* items) { return {HKEY_LOCAL_MACHINE, name, REG_SZ, items}; }

const Text kTestKey = T("software\\tarnvel\\e2e-policy");

// Values as the registry holds them reach the broker: one switch, one list, and where each
// value comes from. What every policy refuses is decided, and tabled, at the dispatcher.
struct PolicyCase {
  const char* what;
  std::vector<PolicyValue> values;
  RequestOp op;
  int32_t hive;
  Text a, b, c;
  RequestStatus status;
  std::vector<std::string> lines;
};

std::string Line(const char* text) { return std::string("[TarnvelBroker] ") + text + "\n"; }

TEST(AdminPolicy, RegistryValuesFromEitherHiveRefuseWithTheirLines) {
  const PolicyCase cases[] = {
      {"registry writes",
       {Machine(L"AllowRegistryWrites", 0)},
       RequestOp::WriteString,
       0,
       kTestKey,
       T("v"),
       T("x"),
       RequestStatus::Denied,
       {Line("registry write denied by policy AllowRegistryWrites")}},
      {"schemes",
       {MachineList(L"ShellOpenSchemes", L"https")},
       RequestOp::ShellOpen,
       0,
       T("HTTP://example.invalid/"),
       T(""),
       T(""),
       RequestStatus::Denied,
       {Line("shell open denied by policy ShellOpenSchemes")}},
      {"machine over user",
       {Machine(L"AllowRegistryWrites", 1), User(L"AllowRegistryWrites", 0)},
       RequestOp::WriteString,
       0,
       kTestKey,
       T("v"),
       T("x"),
       RequestStatus::Success,
       {}},
      {"user where the machine sets none",
       {User(L"AllowRegistryWrites", 0)},
       RequestOp::WriteString,
       0,
       kTestKey,
       T("v"),
       T("x"),
       RequestStatus::Denied,
       {Line("registry write denied by policy AllowRegistryWrites")}},
      // Malformed: ignored, reported once at start, and nothing refused by it.
      {"wrong type",
       {{HKEY_LOCAL_MACHINE, L"AllowRegistryWrites", REG_SZ, L"0"}},
       RequestOp::WriteString,
       0,
       kTestKey,
       T("v"),
       T("x"),
       RequestStatus::Success,
       {Line("policy ignored: machine AllowRegistryWrites: not a REG_DWORD")}},
  };
  for (const PolicyCase& c : cases) {
    SCOPED_TRACE(c.what);
    PolicyKeys keys;
    for (const PolicyValue& v : c.values) Set(v);
    Broker b;
    ASSERT_TRUE(b.StartAndConnect(true));
    Reply reply;
    ASSERT_EQ(b.Request(c.op, c.hive, c.a, c.b, c.c, e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(c.status));
    // A second request: the ignored value is not reported again.
    ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(b.process.DebugLines(), c.lines);
    EXPECT_EQ(b.CloseAndExitCode(), 0);
  }
}

TEST(AdminPolicy, PluginPipesSwitchRefusesWithAccessDenied) {
  PolicyKeys keys;
  Set(Machine(L"AllowPluginPipes", 0));
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  PluginPipeReply reply;
  ASSERT_EQ(b.conn.RequestPluginPipe(GetCurrentProcessId(), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(reply.handle, -1);
  EXPECT_EQ(b.process.DebugLines(), std::vector<std::string>{Line("plug-in pipe denied by policy AllowPluginPipes")});
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// The status of a registry write, asked again until it is `want` or five seconds passed: the
// broker applies a change as soon as its watch sees it, not at a known moment.
int32_t WriteStatusOnceItIs(Broker& b, RequestStatus want) {
  Reply reply;
  const ULONGLONG deadline = GetTickCount64() + 5000;
  do {
    if (b.Request(RequestOp::WriteString, 0, kTestKey, T("v"), T("x"), e2e::ReplyMs, reply) != CallResult::Ok) break;
    if (reply.status == Code(want)) break;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return reply.status;
}

TEST(AdminPolicy, ChangesApplyToTheNextRequestsWithoutRestart) {
  PolicyKeys keys;  // neither key exists when the broker starts
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  EXPECT_EQ(WriteStatusOnceItIs(b, RequestStatus::Success), Code(RequestStatus::Success));
  Set(User(L"AllowRegistryWrites", 0));
  EXPECT_EQ(WriteStatusOnceItIs(b, RequestStatus::Denied), Code(RequestStatus::Denied));
  Set(Machine(L"AllowRegistryWrites", 1));
  EXPECT_EQ(WriteStatusOnceItIs(b, RequestStatus::Success), Code(RequestStatus::Success));
  Delete(HKEY_LOCAL_MACHINE, L"AllowRegistryWrites");
  EXPECT_EQ(WriteStatusOnceItIs(b, RequestStatus::Denied), Code(RequestStatus::Denied));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// The result of a started check, polled until it is done.
std::string PollUntilDone(Broker& b, const Text& id) {
  Reply reply;
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (GetTickCount64() < deadline) {
    if (b.Request(RequestOp::PollHttpCheck, 0, id, T(""), T(""), e2e::ReplyMs, reply) != CallResult::Ok) break;
    if (reply.text != T("pending")) return std::string(reply.text.begin(), reply.text.end());
    Sleep(20);
  }
  return "no result";
}

// Whether names resolve here at all: Wine asks the system's resolver, and a bare root
// without a hosts file resolves not even "localhost".
bool LocalhostResolves() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  ADDRINFOW* found = nullptr;
  const bool resolves = GetAddrInfoW(L"localhost", nullptr, nullptr, &found) == 0;
  if (found != nullptr) FreeAddrInfoW(found);
  return resolves;
}

// A redirect from an allowed host to one that is not, and a name that resolves inward: the
// check ends with error 5 and the refused address is never asked.
TEST(AdminPolicy, UrlChecksJudgeRedirectsAndResolvedAddresses) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  const std::string port = std::to_string(server.Port());
  server.SetResponse("/jump", HttpTestResponse{302, 0, "http://localhost:" + port + "/target"});
  const struct {
    PolicyValue value;
    std::string url;
    const char* line;
  } cases[] = {
      {MachineList(L"UrlCheckHosts", L"127.0.0.1"), "http://127.0.0.1:" + port + "/jump",
       "http check denied by policy UrlCheckHosts"},
      {Machine(L"UrlCheckRefuseInward", 1), "http://localhost:" + port + "/target",
       "http check denied by policy UrlCheckRefuseInward"},
  };
  const bool namesResolve = LocalhostResolves();
  for (const auto& c : cases) {
    if (!namesResolve && c.url.find("localhost") != std::string::npos) continue;
    PolicyKeys keys;
    Set(c.value);
    Broker b;
    ASSERT_TRUE(b.StartAndConnect(true));
    Reply reply;
    ASSERT_EQ(b.Request(RequestOp::StartHttpCheck, 0, T(c.url.c_str()), T(""), T(""), e2e::ReplyMs, reply),
              CallResult::Ok);
    ASSERT_EQ(reply.status, Code(RequestStatus::Success));
    EXPECT_EQ(PollUntilDone(b, reply.text), "error 5");
    EXPECT_EQ(server.RequestCount("/target"), 0);
    EXPECT_EQ(b.process.DebugLines(), std::vector<std::string>{Line(c.line)});
    EXPECT_EQ(b.CloseAndExitCode(), 0);
  }
  EXPECT_EQ(server.RequestCount("/jump"), 1);
  server.Stop();
  if (!namesResolve) GTEST_SKIP() << "\"localhost\" does not resolve here: the inward name was not tried";
}

}  // namespace

namespace {

// The effective-policy switch, with no pipe: what is in force, its source, what was ignored.
TEST(AdminPolicy, EffectivePolicySwitchPrintsTextAndJson) {
  PolicyKeys keys;
  Set(Machine(L"AllowExport", 0));
  Set({HKEY_CURRENT_USER, L"ShellOpenSchemes", REG_SZ, L"https;gopher"});
  const struct {
    const wchar_t* form;
    std::vector<std::string> expected;
  } cases[] = {
      {L"--effective-policy",
       {"AllowExport = 0 (machine)\n", "ShellOpenSchemes = https (user)\n", "AllowCopyIn = 1 (built-in)\n",
        "ignored: user ShellOpenSchemes item \"gopher\": unknown item\n"}},
      {L"--effective-policy=json",
       {"{\"name\":\"AllowExport\",\"type\":\"REG_DWORD\",\"value\":0,\"source\":\"machine\"}",
        "{\"name\":\"ShellOpenSchemes\",\"type\":\"list\",\"value\":[\"https\"],\"source\":\"user\"}",
        "\"ignored\":[{\"source\":\"user\",\"name\":\"ShellOpenSchemes\",\"item\":\"gopher\",\"reason\":\"unknown "
        "item\"}]"}},
  };
  for (const auto& c : cases) {
    e2e::Child broker;
    ASSERT_TRUE(broker.Start(e2e::BrokerExe(), c.form, true));
    broker.CloseInput();
    const std::string out = broker.ReadAll(e2e::StartMs);
    DWORD code = 1;
    ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, code));
    EXPECT_EQ(code, 0u);
    for (const std::string& e : c.expected) EXPECT_NE(out.find(e), std::string::npos) << e << "\nin:\n" << out;
  }
}

}  // namespace
