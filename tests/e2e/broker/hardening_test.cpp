// SPDX-License-Identifier: Apache-2.0
// Hostile peers of the broker: copy-in sources that are pipes or devices, and hosts that
// end at the awkward moment right after connecting.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e/e2e_support.h"

using namespace tarnvel_host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }

Text LocalTemp() {
  wchar_t local[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local) != S_OK) return Text();
  const std::wstring temp = std::wstring(local) + L"\\Temp";
  CreateDirectoryW(temp.c_str(), nullptr);
  return ToText(temp);
}

// A pipe server that never sends: a broker that connected to it and read would hang.
TEST(BrokerHardening, CopyInFromAPipeIsRefusedAtOnceAndNeverConnects) {
  const std::wstring name = MakeUniquePipeName(L"tarnvel-copyin") + L".pdf";
  UniqueHandle server(CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(server.valid());
  UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = connected.get();
  ASSERT_FALSE(ConnectNamedPipe(server.get(), &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  const Text temp = LocalTemp();
  ASSERT_FALSE(temp.empty());
  const Text n = ToText(name);
  const Text sources[] = {u"\\\\.\\pipe\\" + n,         u"//./pipe/" + n,
                          u"\\\\?\\pipe\\" + n,         u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\" + n,
                          u"\\\\localhost\\pipe\\" + n, u"\\\\127.0.0.1\\PIPE\\" + n};
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  for (const Text& source : sources) {
    Reply reply;
    ASSERT_EQ(b.Request(RequestOp::CopyFileIn, 0, source, temp + u"\\e2e-from-pipe.pdf", T(""), e2e::ReplyMs, reply),
              CallResult::Ok);
    EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  }
  EXPECT_EQ(b.process.DebugLines(), std::vector<std::string>(sizeof sources / sizeof sources[0],
                                                             "[TarnvelBroker] file copy denied: malformed key\n"));
  EXPECT_EQ(WaitForSingleObject(connected.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the pipe was connected";
  EXPECT_EQ(b.CloseAndExitCode(), 0);
  CancelIoEx(server.get(), &ov);
  DWORD ignored = 0;
  GetOverlappedResult(server.get(), &ov, &ignored, TRUE);
}

// A legacy device name with a picture's extension is a device, not a file: the policy
// refuses it on either side before anything is opened.
TEST(BrokerHardening, CopyInCopiesOnlyFromDiskFiles) {
  const Text temp = LocalTemp();
  ASSERT_FALSE(temp.empty());
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  const Text destination = temp + u"\\e2e-from-device.png";
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::CopyFileIn, 0, T("C:\\nul.png"), destination, T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  ASSERT_EQ(b.Request(RequestOp::CopyFileIn, 0, destination, temp + u"\\AUX.png", T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  EXPECT_EQ(b.process.DebugLines(), std::vector<std::string>(2, "[TarnvelBroker] file copy denied: malformed key\n"));
  EXPECT_EQ(GetFileAttributesW(reinterpret_cast<const wchar_t*>(destination.c_str())), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerHardening, HostThatEndsRightAfterConnectingGetsExitZero) {
  constexpr int Tries = 30;
  int connectedHosts = 0;
  for (int i = 0; i < Tries; ++i) {
    SCOPED_TRACE(i);
    const std::wstring name = MakeUniquePipeName(L"tarnvel-quick");
    e2e::Child host;
    ASSERT_TRUE(host.Start(e2e::Program("connect_and_exit"), name, false));
    BrokerProcess broker;
    StartOptions o;
    o.exe = e2e::BrokerExe();
    o.pipeName = name;
    o.hostPid = host.pid();
    ASSERT_TRUE(broker.Start(o));
    DWORD code = 7;
    ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, &code));
    DWORD hostCode = 7;
    ASSERT_TRUE(host.WaitForExit(e2e::StartMs, hostCode));
    if (hostCode == 0) {
      ++connectedHosts;
      EXPECT_EQ(code, 0u);
    }
  }
  EXPECT_EQ(connectedHosts, Tries) << "every host reached the pipe";
}

}  // namespace
