// SPDX-License-Identifier: Apache-2.0
// The request dispatcher's order of decisions and the service manager, in-process against
// the real registry of the test prefix.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "requests/request_service_win.h"
#include "sandbox/plugin_channel_svc_win.h"
#include "sandbox/service_manager_win.h"
#include "support/debug_capture.h"
#include "support/system_request_win.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;
using namespace tarnvel::sandbox;

namespace {

const Text kRoot = u"software\\tarnvel\\DispatchTest";

using Reply = SystemReply;

Reply Dispatch(int32_t op, int32_t hive, const Text& a, const Text& b = Text(), const Text& c = Text()) {
  return SystemRequest(op, hive, a, b, c);
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"software\\tarnvel\\DispatchTest"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"software\\tarnvel\\DispatchTest"); }
  DebugCapture debug;
};

TEST_F(DispatchTest, PingAnswersPongWhateverTheInputs) {
  for (int32_t hive : {0, 1, 7, -1}) {
    Reply r = Dispatch(11, hive, u"..", u"a\\b", u"zz");
    EXPECT_EQ(r.status, RequestStatus::Success);
    EXPECT_EQ(r.text, u"pong");
  }
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(DispatchTest, UnknownOpCodesAreJudgedAsReadsBeforeBeingRefused) {
  struct Case {
    int32_t op, hive;
    Text key;
    RequestStatus status;
    const char* line;  // null: no line
  } cases[] = {
      {0, 5, u"software\\tarnvel\\x", RequestStatus::Denied, "[TarnvelBroker] denied: unknown hive\n"},
      {0, 0, u"software\\tarnvel\\x", RequestStatus::BadArgument, nullptr},
      {0, 0, u"", RequestStatus::Denied, "[TarnvelBroker] denied: malformed key\n"},
      {0, 9, u"", RequestStatus::Denied, "[TarnvelBroker] denied: malformed key\n"},
      {19, 0, u"software\\tarnvel", RequestStatus::BadArgument, nullptr},
      {19, 0, u"software\\other", RequestStatus::Denied, "[TarnvelBroker] denied: outside Tarnvel subtree\n"},
      {-3, 1, u"software\\tarnvel", RequestStatus::BadArgument, nullptr},  // judged as a read: allowed
      {25, 1, u"software\\tarnvel", RequestStatus::BadArgument, nullptr},
      {1000, 0, u"tarnvel", RequestStatus::BadArgument, nullptr},
  };
  for (const Case& c : cases) {
    debug.Clear();
    Reply r = Dispatch(c.op, c.hive, c.key);
    EXPECT_EQ(r.status, c.status) << "op " << c.op;
    EXPECT_TRUE(r.text.empty());
    std::vector<std::string> lines = debug.Lines();
    if (c.line) {
      ASSERT_EQ(lines.size(), 1u) << "op " << c.op;
      EXPECT_EQ(lines[0], c.line);
    } else {
      EXPECT_TRUE(lines.empty()) << "op " << c.op;
    }
  }
}

TEST_F(DispatchTest, WritesToTheLocalMachineHiveAreRefusedEvenOutsideTheSubtree) {
  Reply r = Dispatch(2, 1, u"software\\other", u"n", u"v");
  EXPECT_EQ(r.status, RequestStatus::Denied);
  ASSERT_EQ(debug.Lines().size(), 1u);
  EXPECT_EQ(debug.Lines()[0], "[TarnvelBroker] denied: write to read-only hive\n");
}

TEST_F(DispatchTest, ValueNameIsCheckedOnlyAfterThePolicyAllowed) {
  // A bad name under a refused key is a denial, not a bad argument.
  EXPECT_EQ(Dispatch(2, 0, u"software\\other", u"a\\b", u"v").status, RequestStatus::Denied);
  debug.Clear();
  for (const Text& name : {Text(u"a\\b"), Text(u"a/b"), Text(u"a\0b", 3)}) {
    EXPECT_EQ(Dispatch(2, 0, kRoot, name, u"v").status, RequestStatus::BadArgument);
    EXPECT_EQ(Dispatch(1, 0, kRoot, name).status, RequestStatus::BadArgument);
  }
  EXPECT_TRUE(debug.Lines().empty());
  EXPECT_EQ(Dispatch(8, 0, kRoot).status, RequestStatus::NotFound) << "a refused write must not create the key";

  EXPECT_EQ(Dispatch(2, 0, kRoot, u"", u"default text").status, RequestStatus::Success);
  Reply r = Dispatch(1, 0, kRoot, u"");
  EXPECT_EQ(r.status, RequestStatus::Success);
  EXPECT_EQ(r.text, u"default text");
}

TEST_F(DispatchTest, NumbersTravelAsUnsignedDecimalText) {
  struct Case {
    int32_t writeOp, readOp;
    Text data, expected;
  } cases[] = {
      {4, 3, u"-1", u"4294967295"},
      {4, 3, u" 42", u"42"},
      {4, 3, u"4294967296", u"0"},
      {4, 3, u"99999999999999999999", u"4294967295"},
      {13, 12, u"-1", u"18446744073709551615"},
      {13, 12, u"x", u"0"},
      {13, 12, u"12345678901234", u"12345678901234"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Dispatch(c.writeOp, 0, kRoot, u"n", c.data).status, RequestStatus::Success);
    Reply r = Dispatch(c.readOp, 0, kRoot, u"n");
    EXPECT_EQ(r.status, RequestStatus::Success);
    EXPECT_EQ(r.text, c.expected) << "data " << std::string(c.data.begin(), c.data.end());
  }
  // A 32-bit value is not a 64-bit one.
  ASSERT_EQ(Dispatch(4, 0, kRoot, u"d", u"7").status, RequestStatus::Success);
  EXPECT_EQ(Dispatch(12, 0, kRoot, u"d").status, RequestStatus::NotFound);
}

TEST_F(DispatchTest, ListingsUseTheNulTerminatedForm) {
  ASSERT_EQ(Dispatch(2, 0, kRoot + u"\\yz", u"n", u"v").status, RequestStatus::Success);
  ASSERT_EQ(Dispatch(2, 0, kRoot + u"\\x", u"n", u"v").status, RequestStatus::Success);
  Reply r = Dispatch(9, 0, kRoot);
  EXPECT_EQ(r.status, RequestStatus::Success);
  EXPECT_EQ(r.text, Text(u"x\0yz\0", 5));

  r = Dispatch(9, 0, kRoot + u"\\x");
  EXPECT_EQ(r.status, RequestStatus::Success);
  EXPECT_TRUE(r.text.empty());

  r = Dispatch(10, 0, kRoot + u"\\x");
  EXPECT_EQ(r.status, RequestStatus::Success);
  EXPECT_EQ(r.text, Text(u"n\0v\0", 4));

  EXPECT_EQ(Dispatch(9, 0, kRoot + u"\\missing").status, RequestStatus::NotFound);
}

TEST_F(DispatchTest, CopyTreeJudgesBothKeysAndLogsOneLine) {
  ASSERT_EQ(Dispatch(2, 0, kRoot + u"\\a", u"n", u"v").status, RequestStatus::Success);
  debug.Clear();
  struct Case {
    int32_t hive;
    Text from, to;
  } refused[] = {
      {1, u"software\\tarnvel\\a", u"software\\tarnvel\\b"},  // destination: write to read-only hive
      {0, u"software\\other", kRoot + u"\\b"},
      {0, kRoot + u"\\a", u"software\\other"},
      {0, u"", u""},
  };
  for (const Case& c : refused) {
    debug.Clear();
    EXPECT_EQ(Dispatch(20, c.hive, c.from, c.to).status, RequestStatus::Denied);
    std::vector<std::string> lines = debug.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[TarnvelBroker] copy tree denied\n");
  }
  EXPECT_EQ(Dispatch(8, 0, kRoot + u"\\b").status, RequestStatus::NotFound);

  EXPECT_EQ(Dispatch(20, 0, kRoot + u"\\a", kRoot + u"\\b").status, RequestStatus::Success);
  Reply r = Dispatch(1, 0, kRoot + u"\\b", u"n");
  EXPECT_EQ(r.text, u"v");
  EXPECT_EQ(Dispatch(20, 0, kRoot + u"\\missing", kRoot + u"\\c").status, RequestStatus::NotFound);
  EXPECT_EQ(Dispatch(8, 0, kRoot + u"\\c").status, RequestStatus::NotFound);
}

// Another program can make names holding a NUL through the native calls; in the NUL-separated
// listing such a name would read as two elements. Such names are left out.
TEST_F(DispatchTest, ListingsLeaveOutNamesHoldingANul) {
  ASSERT_EQ(Dispatch(2, 0, kRoot + u"\\x", u"n", u"v").status, RequestStatus::Success);
  ASSERT_EQ(Dispatch(2, 0, kRoot + u"\\x\\real", u"n", u"v").status, RequestStatus::Success);
  UniqueRegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software\\tarnvel\\DispatchTest\\x", 0, KEY_ALL_ACCESS, key.put()),
            ERROR_SUCCESS);
  using SetValueFn = LONG(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
  using CreateKeyFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG);
  using DeleteValueFn = LONG(NTAPI*)(HANDLE, PUNICODE_STRING);
  using DeleteKeyFn = LONG(NTAPI*)(HANDLE);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto setValue = reinterpret_cast<SetValueFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetValueKey")));
  const auto createKey = reinterpret_cast<CreateKeyFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateKey")));
  const auto deleteValue =
      reinterpret_cast<DeleteValueFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteValueKey")));
  const auto deleteKey = reinterpret_cast<DeleteKeyFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
  ASSERT_TRUE(setValue != nullptr && createKey != nullptr && deleteValue != nullptr && deleteKey != nullptr);
  wchar_t valueName[] = L"a\0fake";
  UNICODE_STRING value{sizeof valueName - sizeof(wchar_t), sizeof valueName, valueName};
  wchar_t data[] = L"planted";
  ASSERT_EQ(setValue(key.get(), &value, 0, REG_SZ, data, sizeof data), 0);
  wchar_t subkeyName[] = L"sub\0ghost";
  UNICODE_STRING subkey{sizeof subkeyName - sizeof(wchar_t), sizeof subkeyName, subkeyName};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = key.get();
  attributes.ObjectName = &subkey;
  attributes.Attributes = 0x40;  // OBJ_CASE_INSENSITIVE
  HANDLE planted = nullptr;
  ASSERT_EQ(createKey(&planted, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), 0);
  UniqueRegKey plantedKey(static_cast<HKEY>(planted));

  EXPECT_EQ(Dispatch(9, 0, kRoot + u"\\x").text, Text(u"real\0", 5));
  EXPECT_EQ(Dispatch(10, 0, kRoot + u"\\x").text, Text(u"n\0v\0", 4));
  // Only the native calls can name them again; the registry's own tree deletion cannot.
  EXPECT_EQ(deleteKey(plantedKey.get()), 0);
  EXPECT_EQ(deleteValue(key.get(), &value), 0);
}

// The registry calls cut a key text at 32,766 units without a word, so a longer one would act
// on the key its first 32,766 units name; value names beyond 16,383 units are no names.
TEST_F(DispatchTest, TextsLongerThanTheRegistryTakesAreRefusedBeforeAnythingActs) {
  constexpr size_t Cut = 32766;
  Text named = kRoot;
  while (named.size() + 201 < Cut) named += u"\\" + Text(200, u'k');
  named += u"\\" + Text(Cut - 1 - named.size() - 1, u'k');
  ASSERT_EQ(named.size() + 1, Cut);
  ASSERT_EQ(Dispatch(2, 0, named, u"v", u"planted").status, RequestStatus::Success);
  debug.Clear();
  // Cut after its separator, this text names `named`.
  const Text beyond = named + u"\\tail";
  EXPECT_EQ(Dispatch(1, 0, beyond, u"v").status, RequestStatus::Denied);
  EXPECT_EQ(Dispatch(2, 0, beyond, u"v", u"overwritten").status, RequestStatus::Denied);
  EXPECT_EQ(debug.Lines(), std::vector<std::string>(2, "[TarnvelBroker] denied: malformed key\n"));
  EXPECT_EQ(Dispatch(1, 0, named, u"v").text, u"planted");

  EXPECT_EQ(Dispatch(2, 0, kRoot, Text(16383, u'n'), u"x").status, RequestStatus::Success);
  EXPECT_EQ(Dispatch(2, 0, kRoot, Text(16384, u'n'), u"x").status, RequestStatus::BadArgument);
  EXPECT_EQ(Dispatch(1, 0, kRoot, Text(Cut + 4, u'n')).status, RequestStatus::BadArgument);
}

TEST_F(DispatchTest, DataFileOpsAreJudgedByTheDataFolderCheck) {
  // A registry key is no data file path: the data-folder check refuses it.
  for (int32_t op : {14, 15, 16, 17}) {
    debug.Clear();
    Reply r = Dispatch(op, 0, u"software\\tarnvel\\x", Text(), u"00");
    EXPECT_EQ(r.status, RequestStatus::Denied) << "op " << op;
    ASSERT_EQ(debug.Lines().size(), 1u);
    EXPECT_EQ(debug.Lines()[0], "[TarnvelBroker] denied: outside Tarnvel subtree\n");
  }
}

TEST(ServiceManagerTest, KnowsTheRequestServiceAndTheBuiltInPluginChannelService) {
  ASSERT_TRUE(CreateServiceManager({{MessageId::Request, &BrokerRequestService()}}));
  ipc::ServiceLookup<BrokerChannel>* manager = *CurrentServiceManager();
  ASSERT_NE(manager, nullptr);
  ASSERT_TRUE(CreateServiceManager({}));
  EXPECT_EQ(*CurrentServiceManager(), manager) << "a second creation keeps the existing manager";

  EXPECT_EQ(manager->GetService(6), &BrokerRequestService());
  EXPECT_EQ(manager->GetService(3), &PluginChannelService());
  for (int32_t id : {0, 1, 2, 4, 5, 7, -1, 1000}) EXPECT_EQ(manager->GetService(id), nullptr) << id;

  DestroyServiceManager();
  EXPECT_EQ(*CurrentServiceManager(), nullptr);
}

}  // namespace
