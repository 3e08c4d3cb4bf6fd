// SPDX-License-Identifier: Apache-2.0
// The broker's command line and exit code, seen from a host: a real TarnvelBroker.exe
// under Wine, started with the command lines below.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

using namespace tarnvel;

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::RequestOp;

namespace {

std::wstring Pid(DWORD pid) { return std::to_wstring(pid); }
std::wstring Quoted(const std::wstring& exe) { return L"\"" + exe + L"\""; }

struct StartupCase {
  const char* name;
  // Builds the whole command line from the exe, a fresh pipe name and this process's id.
  std::wstring (*commandLine)(const std::wstring& exe, const std::wstring& pipe, DWORD pid);
};

const StartupCase kStartupFailures[] = {
    {"proc switch before ipc switch",
     [](const std::wstring& exe, const std::wstring& pipe, DWORD pid) {
       return Quoted(exe) + L" --proc=" + Pid(pid) + L" --ipc=" + pipe;
     }},
    {"proc switch missing",
     [](const std::wstring& exe, const std::wstring& pipe, DWORD) { return Quoted(exe) + L" --ipc=" + pipe; }},
    {"ipc switch missing",
     [](const std::wstring& exe, const std::wstring&, DWORD pid) { return Quoted(exe) + L" --proc=" + Pid(pid); }},
    {"pid text without digits", [](const std::wstring& exe, const std::wstring& pipe,
                                   DWORD) { return Quoted(exe) + L" --ipc=" + pipe + L" --proc=abc"; }},
    {"pid 0", [](const std::wstring& exe, const std::wstring& pipe,
                 DWORD) { return Quoted(exe) + L" --ipc=" + pipe + L" --proc=0"; }},
    {"pid of no process", [](const std::wstring& exe, const std::wstring& pipe,
                             DWORD) { return Quoted(exe) + L" --ipc=" + pipe + L" --proc=1073741820"; }},
    {"ipc switch without a blank before it",
     [](const std::wstring& exe, const std::wstring& pipe, DWORD pid) {
       return Quoted(exe) + L"--ipc=" + pipe + L" --proc=" + Pid(pid);
     }},
    {"proc switch without a blank before it",
     [](const std::wstring& exe, const std::wstring& pipe, DWORD pid) {
       return Quoted(exe) + L" --ipc=" + pipe + L"--proc=" + Pid(pid);
     }},
    {"command line of the switches alone, no program path",
     [](const std::wstring&, const std::wstring& pipe, DWORD pid) {
       return L"--ipc=" + pipe + L" --proc=" + Pid(pid);
     }},
    {"empty pipe name", [](const std::wstring& exe, const std::wstring&,
                           DWORD pid) { return Quoted(exe) + L" --ipc= --proc=" + Pid(pid); }},
};

TEST(BrokerCommandLine, StartupFailuresExitWithOne) {
  for (const StartupCase& c : kStartupFailures) {
    SCOPED_TRACE(c.name);
    const std::wstring pipe = MakeUniquePipeName(L"tarnvel-e2e-cl");
    StartOptions o;
    o.exe = e2e::BrokerExe();
    o.commandLine = c.commandLine(o.exe, pipe, GetCurrentProcessId());
    BrokerProcess broker;
    ASSERT_TRUE(broker.Start(o)) << broker.startError();
    DWORD code = 0;
    // A broker that wrongly accepted the line would create the pipe and wait for us.
    ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, &code));
    EXPECT_EQ(code, 1u);
  }
}

TEST(BrokerCommandLine, PipeNameWithBlanksIsUsedAsIs) {
  Broker b;
  b.pipeName = MakeUniquePipeName(L"tarnvel e2e name with  blanks");
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.text, T("pong"));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerCommandLine, TextBehindThePidIsIgnored) {
  const std::wstring pipe = MakeUniquePipeName(L"tarnvel-e2e-trail");
  StartOptions o;
  o.exe = e2e::BrokerExe();
  o.commandLine = Quoted(o.exe) + L" --ipc=" + pipe + L" --proc=" + Pid(GetCurrentProcessId()) + L"x --later=1";
  BrokerProcess broker;
  ASSERT_TRUE(broker.Start(o));
  HostConnection conn;
  ASSERT_TRUE(conn.Connect(pipe, e2e::StartMs, &broker));
  Reply reply;
  ASSERT_EQ(e2e::Request(conn, RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.text, T("pong"));
  conn.Close();
  DWORD code = 7;
  ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, &code));
  EXPECT_EQ(code, 0u);
}

TEST(BrokerCommandLine, SecondBrokerWithTheSameNameExitsWithOne) {
  Broker first;
  ASSERT_TRUE(first.StartAndConnect());

  StartOptions o;
  o.exe = e2e::BrokerExe();
  o.pipeName = first.pipeName;
  BrokerProcess second;
  ASSERT_TRUE(second.Start(o));
  DWORD code = 0;
  ASSERT_TRUE(second.WaitForExit(e2e::StartMs, &code));
  EXPECT_EQ(code, 1u);

  // The first broker still serves its host.
  Reply reply;
  ASSERT_EQ(first.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(first.CloseAndExitCode(), 0);
}

// A process that created the broker's name first, with room for more instances: the
// broker's own create may still succeed (Wine does not enforce the first-instance flag),
// and the host's connect could then reach that process. The broker must not serve there.
TEST(BrokerCommandLine, NameCreatedFirstByAnotherProcessExitsWithOne) {
  for (const DWORD instances : {DWORD{2}, DWORD{PIPE_UNLIMITED_INSTANCES}}) {
    SCOPED_TRACE(instances);
    const std::wstring name = MakeUniquePipeName(L"tarnvel-e2e-squat");
    UniqueHandle squatter(CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                           instances, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter.valid()) << GetLastError();

    StartOptions o;
    o.exe = e2e::BrokerExe();
    o.pipeName = name;
    BrokerProcess broker;
    ASSERT_TRUE(broker.Start(o));
    DWORD code = 0;
    ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, &code)) << "the broker is waiting on a name another process owns";
    EXPECT_EQ(code, 1u);
  }
}

TEST(BrokerLifecycle, HostClosingThePipeEndsTheBrokerWithZero) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerLifecycle, HostClosingThePipeBeforeAnyRequestEndsTheBrokerWithZero) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerLifecycle, HostProcessEndingAfterConnectingEndsTheBrokerWithZero) {
  e2e::Child host;
  ASSERT_TRUE(host.Start(e2e::Program("idle_host"), L"60000", false));
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(false, host.pid()));
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);

  host.Terminate();
  // The pipe stays open on our side: only the host's end can have ended the broker.
  DWORD code = 7;
  ASSERT_TRUE(b.process.WaitForExit(e2e::StartMs, &code));
  EXPECT_EQ(code, 0u);
}

TEST(BrokerLifecycle, HostProcessEndingBeforeConnectingEndsTheBrokerWithOne) {
  e2e::Child host;
  ASSERT_TRUE(host.Start(e2e::Program("idle_host"), L"60000", false));
  StartOptions o;
  o.exe = e2e::BrokerExe();
  o.pipeName = MakeUniquePipeName(L"tarnvel-e2e-early");
  o.hostPid = host.pid();
  BrokerProcess broker;
  ASSERT_TRUE(broker.Start(o));
  // The pipe exists and waits for its host before the host goes away.
  {
    const std::wstring path = L"\\\\.\\pipe\\" + o.pipeName;
    const ULONGLONG deadline = GetTickCount64() + e2e::StartMs;
    while (!WaitNamedPipeW(path.c_str(), 50) && GetTickCount64() < deadline) Sleep(20);
  }
  host.Terminate();
  DWORD code = 0;
  ASSERT_TRUE(broker.WaitForExit(e2e::StartMs, &code)) << "the broker kept waiting for a host that is gone";
  EXPECT_EQ(code, 1u);
}

}  // namespace
