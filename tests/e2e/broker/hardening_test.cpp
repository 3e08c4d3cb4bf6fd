// SPDX-License-Identifier: Apache-2.0
// Hostile peers of the broker: copy-in sources and shell documents that are pipes or devices,
// streams, sources whose real name is not the one judged, and hosts that end at the awkward
// moment right after connecting.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "e2e/e2e_support.h"

using namespace tarnvel;

using namespace tarnvel::host;
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

bool Exists(const Text& path) {
  return GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str())) != INVALID_FILE_ATTRIBUTES;
}

void WriteFileBytes(const Text& path, const char* bytes) {
  UniqueHandle f(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(f.valid());
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(f.get(), bytes, static_cast<DWORD>(strlen(bytes)), &n, nullptr));
}

// A pipe server that never sends: a broker that connected to it and read would hang, and the
// shell or a document's handler that opened it would show the plug-in who the user is.
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
  const std::string copyLine = "[TarnvelBroker] file copy denied: malformed key\n";
  const std::string shellLine = "[TarnvelBroker] shell open denied: malformed key\n";
  const struct {
    RequestOp op;
    Text path;
    const std::string& line;
  } cases[] = {
      {RequestOp::CopyFileIn, u"\\\\.\\pipe\\" + n, copyLine},
      {RequestOp::CopyFileIn, u"//./pipe/" + n, copyLine},
      {RequestOp::CopyFileIn, u"\\\\?\\pipe\\" + n, copyLine},
      {RequestOp::CopyFileIn, u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\" + n, copyLine},
      {RequestOp::CopyFileIn, u"\\\\localhost\\pipe\\" + n, copyLine},
      {RequestOp::CopyFileIn, u"\\\\127.0.0.1\\PIPE\\" + n, copyLine},
      {RequestOp::ShellOpen, u"\\\\.\\pipe\\" + n, shellLine},
      {RequestOp::ShellOpen, u"\\\\localhost\\pipe.\\" + n, shellLine},
      {RequestOp::ShellOpen, u"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\" + n, shellLine},
      {RequestOp::ShellOpen, u"\\\\localhost\\mailslot\\" + n, shellLine},
      {RequestOp::ShellOpen, u"C:\\docs\\con.pdf", shellLine},
  };
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  std::vector<std::string> lines;
  for (const auto& c : cases) {
    Reply reply;
    ASSERT_EQ(b.Request(c.op, 0, c.path, temp + u"\\e2e-from-pipe.pdf", T(""), e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(RequestStatus::Denied)) << std::string(c.path.begin(), c.path.end());
    lines.push_back(c.line);
  }
  EXPECT_EQ(b.process.DebugLines(), lines);
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

// On NTFS "evil.exe:.pdf" is a stream of "evil.exe" (and makes it); a source "host.jpg:s.pdf"
// hands over a stream of another file. Either side is refused before anything is opened.
TEST(BrokerHardening, CopyInRefusesStreamsOnEitherSide) {
  const Text temp = LocalTemp();
  ASSERT_FALSE(temp.empty());
  const Text source = temp + u"\\e2e-stream-source.pdf";
  const Text streamSource = temp + u"\\e2e-host.jpg:s.pdf";
  const char16_t* const made[] = {u"\\e2e-evil.exe", u"\\e2e-evil.exe:.pdf", u"\\e2e-doc.txt:hidden.pdf",
                                  u"\\e2e-from-stream.pdf"};
  for (const char16_t* m : made) DeleteFileW(reinterpret_cast<const wchar_t*>((temp + m).c_str()));
  WriteFileBytes(source, "%PDF plain");
  WriteFileBytes(streamSource, "%PDF in a stream");
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  const std::pair<Text, Text> copies[] = {
      {source, temp + u"\\e2e-evil.exe:.pdf"},
      {source, temp + u"\\e2e-doc.txt:hidden.pdf"},
      {streamSource, temp + u"\\e2e-from-stream.pdf"},
  };
  for (const auto& c : copies) {
    Reply reply;
    ASSERT_EQ(b.Request(RequestOp::CopyFileIn, 0, c.first, c.second, T(""), e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  }
  EXPECT_EQ(b.process.DebugLines(), std::vector<std::string>(3, "[TarnvelBroker] file copy denied: malformed key\n"));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
  for (const char16_t* m : made) EXPECT_FALSE(Exists(temp + m));

  DeleteFileW(reinterpret_cast<const wchar_t*>(source.c_str()));
  DeleteFileW(reinterpret_cast<const wchar_t*>(streamSource.c_str()));
}

// An 8.3 alias keeps three letters of the extension: "E2E-SE~1.PDF" may open "e2e-secret.pdfx".
// The source is judged again by the long name of the file opened.
TEST(BrokerHardening, CopyInJudgesTheSourceByTheNameOfTheFileOpened) {
  const Text temp = LocalTemp();
  ASSERT_FALSE(temp.empty());
  const struct {
    const char16_t* longName;
    const char16_t* destination;
    RequestStatus expected;
  } cases[] = {
      {u"e2e-secret.pdfx", u"e2e-alias-out.pdf", RequestStatus::Denied},
      {u"e2e-picture.jpgbak", u"e2e-alias-out.jpg", RequestStatus::Denied},
      {u"e2e-long-named-picture.png", u"e2e-alias-out.png", RequestStatus::Success},
  };
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  for (const auto& c : cases) {
    const Text longPath = temp + u"\\" + c.longName;
    const Text destination = temp + u"\\" + c.destination;
    SCOPED_TRACE(std::string(longPath.begin(), longPath.end()));
    DeleteFileW(reinterpret_cast<const wchar_t*>(destination.c_str()));
    WriteFileBytes(longPath, "bytes of the long-named file");
    wchar_t alias[MAX_PATH];
    const DWORD n = GetShortPathNameW(reinterpret_cast<const wchar_t*>(longPath.c_str()), alias, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    const Text shortPath = ToText(alias);
    ASSERT_NE(shortPath, longPath) << "no 8.3 alias";
    Reply reply;
    ASSERT_EQ(b.Request(RequestOp::CopyFileIn, 0, shortPath, destination, T(""), e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(c.expected)) << std::string(shortPath.begin(), shortPath.end());
    EXPECT_EQ(Exists(destination), c.expected == RequestStatus::Success);
    DeleteFileW(reinterpret_cast<const wchar_t*>(destination.c_str()));
    DeleteFileW(reinterpret_cast<const wchar_t*>(longPath.c_str()));
  }
  EXPECT_EQ(b.process.DebugLines(),
            std::vector<std::string>(2, "[TarnvelBroker] file copy denied: outside Tarnvel subtree\n"));
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
