// SPDX-License-Identifier: Apache-2.0
// What differs between the x64 and the x86 broker: the registry view of the local-machine
// hive and the width of a handle on the wire. Each test runs against the broker of its own
// build, and holds for both.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

constexpr bool Is32BitBuild = sizeof(void*) == 4;
constexpr int32_t CurrentUser = 0;
constexpr int32_t LocalMachine = 1;

TEST(BrokerArchitecture, BrokerRunsAsTheBuildsOwnArchitecture) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(b.process.process(), &wow64));
  EXPECT_EQ(wow64 != FALSE, Is32BitBuild);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// One value in each registry view of HKLM\Software\Tarnvel\e2e-view, written by the test.
class LocalMachineViews : public ::testing::Test {
 protected:
  static constexpr const wchar_t* Key = L"Software\\Tarnvel\\e2e-view";

  void SetUp() override {
    ASSERT_TRUE(Write(KEY_WOW64_64KEY, L"only64", L"sixty-four"));
    ASSERT_TRUE(Write(KEY_WOW64_32KEY, L"only32", L"thirty-two"));
  }
  void TearDown() override {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Key, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Key, KEY_WOW64_32KEY, 0);
  }

  static bool Write(REGSAM view, const wchar_t* name, const wchar_t* value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Key, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const LSTATUS rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                      static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
  }
};

TEST_F(LocalMachineViews, BrokerReadsTheViewOfItsOwnArchitecture) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply own, other;
  const char* ownName = Is32BitBuild ? "only32" : "only64";
  const char* otherName = Is32BitBuild ? "only64" : "only32";
  ASSERT_EQ(b.Request(RequestOp::ReadString, LocalMachine, T("software\\tarnvel\\e2e-view"), T(ownName), T(""),
                      e2e::ReplyMs, own),
            CallResult::Ok);
  ASSERT_EQ(b.Request(RequestOp::ReadString, LocalMachine, T("software\\tarnvel\\e2e-view"), T(otherName), T(""),
                      e2e::ReplyMs, other),
            CallResult::Ok);
  EXPECT_EQ(own.status, Code(RequestStatus::Success));
  EXPECT_EQ(own.text, T(Is32BitBuild ? "thirty-two" : "sixty-four"));
  // A value that exists only in the other view is not found.
  EXPECT_EQ(other.status, Code(RequestStatus::NotFound));
  EXPECT_EQ(other.text, T(""));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST_F(LocalMachineViews, Wow6432NodeNamesAreJudgedByHive) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  // Read-only in the local-machine hive, where the name is part of the maker's subtree...
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::KeyExists, LocalMachine, T("software\\wow6432node\\tarnvel\\e2e-view"), T(""), T(""),
                      e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success))
      << "the 32-bit key exists under its explicit name in both views";
  ASSERT_EQ(b.Request(RequestOp::WriteString, LocalMachine, T("software\\wow6432node\\tarnvel\\e2e-view"), T("w"),
                      T("x"), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  // ...and outside the subtree in the current-user hive.
  ASSERT_EQ(b.Request(RequestOp::ReadString, CurrentUser, T("software\\wow6432node\\tarnvel\\e2e-view"), T("only32"),
                      T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  std::vector<std::string> expected = {"[TarnvelBroker] denied: write to read-only hive\n",
                                       "[TarnvelBroker] denied: outside Tarnvel subtree\n"};
  EXPECT_EQ(b.process.DebugLines(), expected);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// Reply 4 read with a 64-bit decoder, so that the whole handle word is seen.
struct WholeWordReply {
  int32_t error = -1;
  int64_t word = 0;
};

bool RequestPipeWholeWord(HostConnection& conn, DWORD pid, WholeWordReply& out) {
  if (!conn.Send(PluginPipeRequestId, {Param::Int32(static_cast<int32_t>(pid), Int32Kind4)})) return false;
  Message m;
  if (conn.ReadMessage(e2e::ReplyMs, m) != CallResult::Ok || m.id != PluginPipeReplyId || m.params.size() != 2) {
    return false;
  }
  out.error = static_cast<int32_t>(m.params[0].value);
  out.word = m.params[1].value;
  return m.params[1].type == PointerSized;
}

TEST(BrokerArchitecture, HandleWordIsTheSignExtendedHandleAndMinusOneStaysMinusOne) {
  e2e::Child plugin;
  ASSERT_TRUE(plugin.Start(e2e::Program("idle_host"), L"30000", false));
  Broker b;
  b.conn = HostConnection(PointerWidth::Bits64);
  ASSERT_TRUE(b.StartAndConnect());

  WholeWordReply made, none;
  ASSERT_TRUE(RequestPipeWholeWord(b.conn, plugin.pid(), made));
  EXPECT_EQ(made.error, 0);
  EXPECT_NE(made.word, -1);
  EXPECT_NE(made.word, 0);
  if (Is32BitBuild) {
    // The upper half of the word is the sign of the 32-bit handle, nothing else.
    EXPECT_EQ(made.word, static_cast<int64_t>(static_cast<int32_t>(made.word)));
  }

  ASSERT_TRUE(RequestPipeWholeWord(b.conn, 0x3FFFFFF0, none));
  EXPECT_NE(none.error, 0);
  EXPECT_EQ(static_cast<uint64_t>(none.word), ~uint64_t{0});
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

}  // namespace
