// SPDX-License-Identifier: Apache-2.0
// The host SDK's C++ layer over TarnvelHost.dll against a real broker: values come back typed,
// refusals as statuses with their debugger lines, deadlines per call (also behind another
// thread's call), a Broker moves and starts again, its default broker is the DLL's neighbour,
// and shutdown waits, then terminates.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "e2e/e2e_support.h"
#include "support/http_test_server.h"
#include "tarnvel/host_client.h"

using namespace tarnvel;

namespace {

namespace th = tarnvel::host;

struct Lines {
  std::mutex mutex;
  std::vector<std::string> lines;
  bool Has(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

th::BrokerOptions Options(Lines* lines = nullptr) {
  th::BrokerOptions o;
  o.exe = e2e::BrokerExe();
  o.connectTimeout = o.callTimeout = o.shutdownTimeout = std::chrono::milliseconds(e2e::StartMs);
  if (lines != nullptr) {
    o.onDebugLine = [lines](const std::string& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->lines.push_back(line);
    };
  }
  return o;
}

std::wstring Key() { return L"Software\\Tarnvel\\" + tarnvel::host::MakeUniquePipeName(L"e2e-sdk"); }

TEST(HostApi, RegistryCallsGiveTypedValues) {
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  const std::wstring key = Key();
  const th::Hive cu = th::Hive::CurrentUser;

  th::Result<std::wstring> pong = broker.Ping();
  EXPECT_TRUE(pong.ok());
  EXPECT_EQ(pong.value, L"pong");

  EXPECT_TRUE(broker.WriteString(cu, key, L"greeting", L"h\u00e9llo").ok());
  EXPECT_TRUE(broker.WriteDword(cu, key, L"launches", 4294967295u).ok());
  EXPECT_TRUE(broker.WriteQword(cu, key + L"\\Limits", L"bytes", 18446744073709551615ull).ok());
  EXPECT_EQ(broker.ReadString(cu, key, L"greeting").value, L"h\u00e9llo");
  th::Result<uint32_t> dword = broker.ReadDword(cu, key, L"launches");
  EXPECT_TRUE(dword.ok());
  EXPECT_EQ(dword.value, 4294967295u);
  th::Result<uint64_t> qword = broker.ReadQword(cu, key + L"\\Limits", L"bytes");
  EXPECT_TRUE(qword.ok());
  EXPECT_EQ(qword.value, 18446744073709551615ull);

  // A value of another type is NotFound for a read, with the call itself fine.
  th::Result<uint32_t> wrongType = broker.ReadDword(cu, key, L"greeting");
  EXPECT_EQ(wrongType.call, th::CallError::None);
  EXPECT_EQ(wrongType.status, th::RequestStatus::NotFound);
  EXPECT_FALSE(wrongType.ok());

  th::Result<std::vector<std::wstring>> keys = broker.ListKeys(cu, key);
  EXPECT_TRUE(keys.ok());
  EXPECT_EQ(keys.value, std::vector<std::wstring>{L"Limits"});
  auto values = broker.ListValues(cu, key);
  EXPECT_TRUE(values.ok());
  ASSERT_EQ(values.value.size(), 2u);
  std::sort(values.value.begin(), values.value.end());
  EXPECT_EQ(values.value[0], std::make_pair(std::wstring(L"greeting"), std::wstring(L"h\u00e9llo")));
  EXPECT_EQ(values.value[1], std::make_pair(std::wstring(L"launches"), std::wstring()));

  th::Result<bool> exists = broker.KeyExists(cu, key);
  EXPECT_TRUE(exists.ok());
  EXPECT_TRUE(exists.value);
  EXPECT_TRUE(broker.DeleteTree(cu, key).ok());
  exists = broker.KeyExists(cu, key);
  EXPECT_TRUE(exists.ok());
  EXPECT_FALSE(exists.value);

  // An op code the broker does not serve: its key is judged, then it answers BadArgument.
  constexpr int32_t kUnservedOp = 0;
  static_assert(tarnvel::protocol::FindOp(kUnservedOp) == nullptr, "op 0 has no row");
  th::Result<th::RawReply> raw = broker.RawRequest(kUnservedOp, 0, key, L"", L"");
  EXPECT_EQ(raw.call, th::CallError::None);
  EXPECT_EQ(raw.status, th::RequestStatus::BadArgument);
  EXPECT_EQ(raw.value.status, tarnvel::protocol::Code(th::RequestStatus::BadArgument));

  th::ShutdownResult end = broker.Shutdown();
  EXPECT_TRUE(end.exited);
  EXPECT_FALSE(end.terminated);
  EXPECT_EQ(end.exitCode, 0u);
  EXPECT_EQ(broker.Ping().call, th::CallError::NotStarted);
  EXPECT_TRUE(broker.Shutdown().exited);
}

TEST(HostApi, CallsFromSeveralThreadsEachGetTheirOwnReply) {
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  const std::wstring key = Key();
  // Each thread reads back its own value: a reply handed to the wrong caller shows.
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::wstring name = L"v" + std::to_wstring(t);
      for (uint32_t i = 0; i < 25; ++i) {
        if (!broker.WriteDword(th::Hive::CurrentUser, key, name, t * 1000 + i).ok()) ++wrong[t];
        th::Result<uint32_t> r = broker.ReadDword(th::Hive::CurrentUser, key, name);
        if (!r.ok() || r.value != t * 1000 + i) ++wrong[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
  EXPECT_TRUE(broker.DeleteTree(th::Hive::CurrentUser, key).ok());
}

TEST(HostApi, DataFilesTravelAsBytes) {
  wchar_t appData[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH), 0u);
  const std::wstring folder = std::wstring(appData) + L"\\tarnvel";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring path = folder + L"\\" + tarnvel::host::MakeUniquePipeName(L"sdk") + L".bin";
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<uint8_t>(255 - i));

  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  EXPECT_TRUE(broker.WriteDataFile(path, bytes).ok());
  th::Result<std::vector<uint8_t>> back = broker.ReadDataFile(path);
  EXPECT_TRUE(back.ok());
  EXPECT_EQ(back.value, bytes);
  EXPECT_TRUE(broker.DataFileExists(path).value);
  EXPECT_TRUE(broker.WriteDataFile(path, {}).ok());
  back = broker.ReadDataFile(path);
  EXPECT_TRUE(back.ok());
  EXPECT_TRUE(back.value.empty());
  EXPECT_TRUE(broker.DeleteDataFile(path).ok());
  th::Result<bool> gone = broker.DataFileExists(path);
  EXPECT_TRUE(gone.ok());
  EXPECT_FALSE(gone.value);
}

TEST(HostApi, RefusalsAreStatusesWithTheirDebuggerLineAtTheCallback) {
  Lines lines;
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options(&lines)));
  th::Result<th::Done> denied = broker.WriteString(th::Hive::LocalMachine, Key(), L"x", L"y");
  EXPECT_EQ(denied.call, th::CallError::None);
  EXPECT_EQ(denied.status, th::RequestStatus::Denied);
  EXPECT_EQ(denied.debugLines, std::vector<std::string>{"[TarnvelBroker] denied: write to read-only hive"});
  th::Result<uint32_t> check = broker.StartUrlCheck(L"file:///c:/windows");
  EXPECT_EQ(check.status, th::RequestStatus::Denied);
  ASSERT_EQ(check.debugLines.size(), 1u);
  EXPECT_EQ(check.debugLines[0].rfind("[TarnvelBroker] http check ", 0), 0u) << check.debugLines[0];
  th::Result<th::UrlCheckState> poll = broker.PollUrlCheck(4000000000u);
  EXPECT_EQ(poll.status, th::RequestStatus::NotFound);
  EXPECT_TRUE(poll.debugLines.empty());

  th::Result<th::PluginPipe> pipe = broker.RequestPluginPipe(1073741808);
  EXPECT_TRUE(pipe.ok());
  EXPECT_NE(pipe.value.error, 0u);
  EXPECT_EQ(pipe.value.handle, -1);

  EXPECT_TRUE(broker.Shutdown().exited);
  // Every line is delivered by the time the broker has exited and been waited for.
  EXPECT_TRUE(lines.Has("[TarnvelBroker] denied: write to read-only hive"));
  std::lock_guard<std::mutex> lock(lines.mutex);
  EXPECT_EQ(std::count_if(lines.lines.begin(), lines.lines.end(),
                          [](const std::string& l) { return l.rfind("[TarnvelBroker] http check ", 0) == 0; }),
            1);
  // Trailing line feeds are removed before delivery.
  for (const std::string& l : lines.lines) EXPECT_EQ(l.find('\n'), std::string::npos) << l;
}

// Each result carries the lines written while its own request was served, and only those,
// without a callback: a refused read explains itself.
TEST(HostApi, EachResultCarriesTheDebuggerLinesOfItsOwnRequest) {
  th::Broker broker;
  th::BrokerOptions o = Options();
  o.debugLines = true;
  ASSERT_TRUE(broker.Start(o));
  const th::Result<std::wstring> outside = broker.ReadString(th::Hive::CurrentUser, L"software\\elsewhere", L"x");
  EXPECT_EQ(outside.status, th::RequestStatus::Denied);
  EXPECT_EQ(outside.debugLines, std::vector<std::string>{"[TarnvelBroker] denied: outside Tarnvel subtree"});
  const th::Result<th::Done> tree =
      broker.CopyTree(th::Hive::LocalMachine, L"software\\tarnvel\\a", L"software\\tarnvel\\b");
  EXPECT_EQ(tree.debugLines, std::vector<std::string>{"[TarnvelBroker] copy tree denied"});
  const th::Result<std::wstring> pong = broker.Ping();
  EXPECT_TRUE(pong.ok());
  EXPECT_TRUE(pong.debugLines.empty());
  // Without the debugger, no lines at all.
  th::Broker plain;
  ASSERT_TRUE(plain.Start(Options()));
  EXPECT_TRUE(plain.ReadString(th::Hive::CurrentUser, L"software\\elsewhere", L"x").debugLines.empty());
}

// A request beyond one message is refused before anything is written, so the connection
// stays in step and usable.
TEST(HostApi, ARequestTooLargeForOneMessageIsNotSent) {
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  const std::vector<uint8_t> bytes((16u << 20) + 1, 0x5a);  // 4 hexadecimal bytes each on the wire
  EXPECT_EQ(broker.WriteDataFile(L"C:\\x.bin", bytes).call, th::CallError::TooLarge);
  const std::wstring text((8u << 20) * 4 - 16, L'x');  // fits as a text, not with its message
  EXPECT_EQ(broker.WriteString(th::Hive::CurrentUser, Key(), L"big", text).call, th::CallError::TooLarge);
  EXPECT_TRUE(broker.Ping().ok());
}

th::Broker StartedBroker() {
  th::Broker broker;
  EXPECT_TRUE(broker.Start(Options()));
  return broker;
}

TEST(HostApi, ABrokerMovesWithItsConnection) {
  th::Broker first = StartedBroker();  // returned from a function
  const uint32_t pid = first.pid();
  EXPECT_NE(pid, 0u);
  th::Broker second(std::move(first));
  EXPECT_EQ(first.Ping().call, th::CallError::NotStarted);
  EXPECT_EQ(second.Ping().value, L"pong");
  EXPECT_EQ(second.pid(), pid);
  th::Broker third;
  third = std::move(second);
  EXPECT_EQ(second.Ping().call, th::CallError::NotStarted);
  EXPECT_EQ(third.Ping().value, L"pong");
  // Assigning over a started Broker shuts its broker down.
  th::Broker other = StartedBroker();
  const uint32_t otherPid = other.pid();
  other = std::move(third);
  EXPECT_EQ(other.pid(), pid);
  UniqueHandle gone(OpenProcess(SYNCHRONIZE, FALSE, otherPid));
  EXPECT_TRUE(!gone.valid() || WaitForSingleObject(gone.get(), e2e::StartMs) == WAIT_OBJECT_0);
  EXPECT_TRUE(other.Shutdown().exited);
}

TEST(HostApi, UrlCheckResultsAreTyped) {
  HttpTestServer server;
  HttpTestResponse notFound;
  notFound.status = 404;
  server.SetResponse("/gone", notFound);
  ASSERT_TRUE(server.Start());
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  const Text url = server.Url("/gone");
  th::Result<uint32_t> id = broker.StartUrlCheck(std::wstring(url.begin(), url.end()));
  ASSERT_TRUE(id.ok());
  th::Result<th::UrlCheckState> state;
  for (int i = 0; i < 200; ++i) {
    state = broker.PollUrlCheck(id.value);
    if (!state.ok() || state.value.kind != th::UrlCheckState::Kind::Pending) break;
    Sleep(50);
  }
  ASSERT_TRUE(state.ok());
  EXPECT_EQ(state.value.kind, th::UrlCheckState::Kind::HttpStatus);
  EXPECT_EQ(state.value.number, 404u);
  // A result is delivered once.
  EXPECT_EQ(broker.PollUrlCheck(id.value).status, th::RequestStatus::NotFound);
  broker.Shutdown();
  server.Stop();
}

TEST(HostApi, StartFailuresSayWhyAndTheHandleStartsAgain) {
  th::Broker broker;
  th::BrokerOptions o = Options();
  o.exe = L"Z:\\no\\such\\TarnvelBroker.exe";
  EXPECT_FALSE(broker.Start(o));
  EXPECT_EQ(broker.startFailure(), th::StartFailure::CannotCreateProcess);
  EXPECT_NE(broker.windowsError(), 0u);
  EXPECT_EQ(broker.Ping().call, th::CallError::NotStarted);

  // Each start is described on its own: no Windows error of the start before.
  o = Options();
  o.hostPid = 1073741820;
  EXPECT_FALSE(broker.Start(o));
  EXPECT_EQ(broker.startFailure(), th::StartFailure::BrokerExited);
  EXPECT_EQ(broker.exitCode(), 1u);
  EXPECT_EQ(broker.windowsError(), 0u);
  o = Options();
  o.exe = L"C:TarnvelBroker.exe";  // relative to drive C's current directory
  EXPECT_FALSE(broker.Start(o));
  EXPECT_EQ(broker.startFailure(), th::StartFailure::BadOptions);

  ASSERT_TRUE(broker.Start(Options()));
  EXPECT_EQ(broker.startFailure(), th::StartFailure::None);
  EXPECT_EQ(broker.exitCode(), 0u);
  const uint32_t pid = broker.pid();
  EXPECT_FALSE(broker.Start(Options()));
  EXPECT_EQ(broker.startFailure(), th::StartFailure::AlreadyStarted);
  EXPECT_EQ(broker.pid(), pid);
  EXPECT_TRUE(broker.Ping().ok());  // the running broker goes on
  EXPECT_TRUE(broker.Shutdown().exited);
  ASSERT_TRUE(broker.Start(Options()));  // and after a shutdown, a new one
  EXPECT_NE(broker.pid(), pid);
  EXPECT_TRUE(broker.Ping().ok());

  EXPECT_STREQ(th::StartFailureName(th::StartFailure::BrokerExited), "the broker exited before accepting");
  EXPECT_STREQ(th::StartFailureName(static_cast<th::StartFailure>(99)), "?");
}

// The default broker is the one beside TarnvelHost.dll; a program of that name in the current
// directory is never started, with no exe nor with a relative one.
TEST(HostApi, TheDefaultBrokerIsTheOneBesideTheDll) {
  wchar_t dll[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(GetModuleHandleW(L"TarnvelHost.dll"), dll, MAX_PATH), 0u);
  std::wstring beside = dll;
  beside.resize(beside.find_last_of(L'\\') + 1);
  beside += L"TarnvelBroker.exe";
  DeleteFileW(beside.c_str());
  std::wstring planted = e2e::BrokerExe();
  planted.resize(planted.find_last_of(L'\\'));
  wchar_t cwd[MAX_PATH] = {};
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(planted.c_str()));

  th::Broker broker;
  th::BrokerOptions o = Options();
  for (const wchar_t* exe : {L"", L"TarnvelBroker.exe", L".\\TarnvelBroker.exe"}) {
    o.exe = exe;
    EXPECT_FALSE(broker.Start(o));
    EXPECT_EQ(broker.startFailure(), th::StartFailure::CannotCreateProcess);
    EXPECT_EQ(broker.windowsError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  }
  ASSERT_TRUE(CopyFileW(e2e::BrokerExe().c_str(), beside.c_str(), FALSE));
  o.exe.clear();
  EXPECT_TRUE(broker.Start(o));
  EXPECT_TRUE(broker.Ping().ok());
  broker.Shutdown();
  SetCurrentDirectoryW(cwd);
  DeleteFileW(beside.c_str());
}

// Size of a file in bytes, or -1 when it cannot be opened.
long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A copy writes a fresh file ("~tarnvel-*.tmp") beside its destination and moves it into
// place only when it is whole: its size is how far the copy has come.
long long FreshFileSize(const std::wstring& destination) {
  const std::wstring folder = destination.substr(0, destination.find_last_of(L'\\') + 1);
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((folder + L"~tarnvel-*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  FindClose(search);
  return FileSize(folder + found.cFileName);
}

// The protocol has no correlation field: a call that stopped waiting must not leave its
// reply for a later call to read as its own. A real copy of 1 GiB (several seconds under
// Wine) outlasts a deadline of 1.5 s; once the broker has finished it and written its reply,
// a later call must not take that reply for its answer.
// A sparse picture of 1 GiB in the local application-data folder, whose copy into the local
// temporary folder takes seconds; false when it cannot be made.
bool LargeCopy(const wchar_t* prefix, std::wstring& source, std::wstring& destination) {
  wchar_t local[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH) == 0) return false;
  const std::wstring name = prefix + std::to_wstring(GetCurrentProcessId()) + L".png";
  source = std::wstring(local) + L"\\" + name;
  destination = std::wstring(local) + L"\\Temp\\" + name;
  DeleteFileW(destination.c_str());
  UniqueHandle file(CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  LARGE_INTEGER size;
  size.QuadPart = 1LL << 30;
  return file.valid() && SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

TEST(HostApi, AfterATimeOutNoLaterCallReadsAnEarlierReply) {
  std::wstring source, destination;
  ASSERT_TRUE(LargeCopy(L"tarnvel-late-", source, destination));
  const std::wstring name = source.substr(source.find_last_of(L'\\') + 1);
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  // This call's own deadline, far below the default one.
  const ULONGLONG before = GetTickCount64();
  EXPECT_EQ(broker.CopyIn(source, destination, std::chrono::milliseconds(1500)).call, th::CallError::TimedOut);
  EXPECT_LT(GetTickCount64() - before, static_cast<ULONGLONG>(e2e::StartMs));
  // The broker goes on copying; by the time the copy is whole, its reply is on its way.
  for (int i = 0; i < 600 && FileSize(destination) != (1LL << 30); ++i) Sleep(100);
  Sleep(500);
  const th::Result<bool> exists = broker.KeyExists(th::Hive::CurrentUser, L"software\\tarnvel\\" + name);
  EXPECT_EQ(exists.call, th::CallError::NotStarted)
      << "status " << th::RequestStatusName(exists.status) << ", value " << exists.value;
  EXPECT_EQ(broker.Ping().call, th::CallError::NotStarted);
  broker.Shutdown();
  DeleteFileW(source.c_str());
  DeleteFileW(destination.c_str());
}

// A call's deadline covers its wait for another thread's call: a 300 ms ping behind a copy of
// seconds answers TimedOut in time, having sent nothing, and the connection goes on serving.
TEST(HostApi, ADeadlineHoldsWhileAnotherThreadsCallRuns) {
  std::wstring source, destination;
  ASSERT_TRUE(LargeCopy(L"tarnvel-behind-", source, destination));
  th::Broker broker;
  ASSERT_TRUE(broker.Start(Options()));
  th::Result<th::Done> copy;
  std::thread copier([&] { copy = broker.CopyIn(source, destination, std::chrono::minutes(3)); });
  for (int i = 0; i < 3000 && FreshFileSize(destination) <= 0; ++i) Sleep(10);  // the copy is under way
  const ULONGLONG before = GetTickCount64();
  const th::Result<std::wstring> ping = broker.Ping(std::chrono::milliseconds(300));
  const ULONGLONG took = GetTickCount64() - before;
  copier.join();
  EXPECT_EQ(ping.call, th::CallError::TimedOut);
  EXPECT_LT(took, 2000u);
  EXPECT_TRUE(copy.ok()) << th::CallErrorName(copy.call) << " " << th::RequestStatusName(copy.status);
  EXPECT_TRUE(broker.Ping().ok());
  broker.Shutdown();
  DeleteFileW(source.c_str());
  DeleteFileW(destination.c_str());
}

TEST(HostApi, ShutdownTerminatesABrokerThatDoesNotExit) {
  SetEnvironmentVariableW(L"TARNVEL_ROGUE_MODE", L"linger");
  th::Broker broker;
  th::BrokerOptions o = Options();
  o.exe = e2e::Program("rogue_broker");
  o.callTimeout = std::chrono::milliseconds(1000);
  ASSERT_TRUE(broker.Start(o));
  SetEnvironmentVariableW(L"TARNVEL_ROGUE_MODE", nullptr);
  EXPECT_EQ(broker.Ping().call, th::CallError::TimedOut);
  const ULONGLONG before = GetTickCount64();
  th::ShutdownResult end = broker.Shutdown(std::chrono::seconds(1));
  EXPECT_FALSE(end.exited);
  EXPECT_TRUE(end.terminated);
  EXPECT_LT(GetTickCount64() - before, 8000u);
  EXPECT_TRUE(broker.Shutdown().terminated);  // the first shutdown's result
}

}  // namespace
