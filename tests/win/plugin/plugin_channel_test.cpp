// SPDX-License-Identifier: Apache-2.0
// Plug-in pipe provisioning in-process: this test process plays the host (it reads reply 4
// from the broker channel) and the broker; a child process plays the plug-in, and the test
// looks at the server ends that land there through duplicates of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include "ipc/pipe_transport_win.h"
#include "ipc/decoder.h"
#include "sandbox/plugin_channel_svc_win.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::sandbox;

namespace {

// A broker channel over a real pipe; `host` is the host's end, from which replies are read.
struct ChannelPair {
  ChannelPair() {
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\tarnvel-plugin-test.%lx.%lu", GetCurrentProcessId(), ++counter);
    HANDLE server =
        CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 4096, 4096, 2000, nullptr);
    host = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    opened = transport.Open(server, true);
  }
  ~ChannelPair() { CloseHandle(host); }

  // Reads reply 4 and gives its error code and handle value.
  bool ReadReply4(int32_t& error, int64_t& handle) {
    ipc::Decoder decoder;
    uint8_t buffer[256];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(host, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
      decoder.Append(buffer, got);
      if (decoder.BufferedBytes() % 8 != 0) continue;
      const ipc::DecodeResult r = decoder.Decode();
      if (r == ipc::DecodeResult::NeedMore) continue;
      const ParamList& list = decoder.list();
      if (r != ipc::DecodeResult::Done || list.id != MessageId::PluginPipeReply || list.count != 2 ||
          list.params[0].type != Int32Kind4 || list.params[1].type != PointerSized)
        return false;
      error = static_cast<int32_t>(list.params[0].value);
      handle = list.params[1].value;
      return true;
    }
  }

  static inline unsigned long counter = 0;
  PipeTransportWithMessagePump transport;
  BrokerChannel channel{&transport};
  HANDLE host = INVALID_HANDLE_VALUE;
  bool opened = false;
};

// A waiting child process that receives the server ends.
struct PlugInProcess {
  PlugInProcess() {
    std::wstring exe = L"Z:";
    for (const char* p = TARNVEL_TEST_PROGRAMS_DIR "/idle_host.exe"; *p; ++p) exe.push_back(*p == '/' ? L'\\' : *p);
    std::wstring commandLine = L"\"" + exe + L"\" 30000";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      process = pi.hProcess;
      pid = pi.dwProcessId;
    }
  }
  ~PlugInProcess() {
    if (process == nullptr) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
  // A handle of this process to the same server end as `remote` in the child.
  HANDLE Local(int64_t remote) const {
    HANDLE local = nullptr;
    if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<intptr_t>(remote)), GetCurrentProcess(), &local,
                         0, FALSE, DUPLICATE_SAME_ACCESS))
      return nullptr;
    return local;
  }
  HANDLE process = nullptr;
  DWORD pid = 0;
};

// A server end reports its peer only while a client is connected; 0 means connected.
DWORD PeerState(HANDLE serverEnd) {
  DWORD available = 0;
  return PeekNamedPipe(serverEnd, nullptr, 0, nullptr, &available, nullptr) ? 0 : GetLastError();
}

TEST(PluginChannel, LaterRequestClosesTheClientEndHeldForTheEarlierOne) {
  ChannelPair pair;
  ASSERT_TRUE(pair.opened);
  PlugInProcess plugin;
  ASSERT_NE(plugin.process, nullptr);
  int32_t error = -1;
  int64_t first = -1, second = -1;
  ASSERT_EQ(ProvisionPluginChannel(pair.channel, static_cast<int32_t>(plugin.pid)), 0);
  ASSERT_TRUE(pair.ReadReply4(error, first));
  EXPECT_EQ(error, 0);
  ASSERT_NE(first, -1);
  const HANDLE firstEnd = plugin.Local(first);
  ASSERT_NE(firstEnd, nullptr);
  EXPECT_EQ(PeerState(firstEnd), 0u) << "the broker is connected to the first pipe";

  ASSERT_EQ(ProvisionPluginChannel(pair.channel, static_cast<int32_t>(plugin.pid)), 0);
  ASSERT_TRUE(pair.ReadReply4(error, second));
  ASSERT_NE(second, -1);
  const HANDLE secondEnd = plugin.Local(second);
  ASSERT_NE(secondEnd, nullptr);
  EXPECT_EQ(PeerState(secondEnd), 0u);
  EXPECT_NE(PeerState(firstEnd), 0u) << "the client end of the first pipe is no longer held open";

  // The end of the host's connection releases the one still held.
  ReleasePluginChannel();
  EXPECT_NE(PeerState(secondEnd), 0u);
  CloseHandle(firstEnd);
  CloseHandle(secondEnd);
}

// The broker's own process as the plug-in: both ends would stay in the broker, one more
// pipe for every such request.
TEST(PluginChannel, BrokersOwnProcessGetsNoHandle) {
  ChannelPair pair;
  ASSERT_TRUE(pair.opened);
  for (int i = 0; i < 2; ++i) {
    int32_t error = 0;
    int64_t handle = 0;
    ASSERT_EQ(ProvisionPluginChannel(pair.channel, static_cast<int32_t>(GetCurrentProcessId())), 0);
    ASSERT_TRUE(pair.ReadReply4(error, handle));
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  }
}

TEST(PluginChannel, ConnectingGivesUpOnAPipeThatNeverBecomesAvailable) {
  // No such pipe: as when the plug-in closed its server end before the broker connected.
  EXPECT_FALSE(ConnectToPluginPipe(L"\\\\.\\pipe\\tarnvel-plugin-test.never-created"));

  // A pipe whose only instance is taken by another client stays busy.
  const wchar_t* name = L"\\\\.\\pipe\\tarnvel-plugin-test.busy";
  HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 50, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  HANDLE squatter = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ConnectToPluginPipe(name));
  CloseHandle(squatter);
  CloseHandle(server);
}

TEST(PluginChannel, ProcessThatCannotBeOpenedGetsNoHandleAndNoConnection) {
  ChannelPair pair;
  ASSERT_TRUE(pair.opened);
  int32_t error = 0;
  int64_t handle = 0;
  ASSERT_EQ(ProvisionPluginChannel(pair.channel, 0), 0);
  ASSERT_TRUE(pair.ReadReply4(error, handle));
  EXPECT_EQ(handle, -1);
  EXPECT_NE(error, 0) << "the reply says why no handle was made";
}

}  // namespace
