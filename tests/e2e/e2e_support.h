// SPDX-License-Identifier: Apache-2.0
// Shared by the end-to-end tests: where the programs are, and a child process with its
// standard handles connected to the test (for the plug-in stand-in and tarnvel-host).
// Every wait takes a time-out; a child still running at the end of a test is ended.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/unique_handle_win.h"
#include "tarnvel/protocol.h"
#include "sdk/raw/raw_client_win.h"
#include "tests/support/wine_path_win.h"

using namespace tarnvel;

namespace e2e {

// Generous bounds: Wine is slow to start processes on a loaded machine.
constexpr DWORD StartMs = 10000;
constexpr DWORD ReplyMs = 5000;
// How long "no reply" is watched for; a reply, when one comes, comes in milliseconds.
constexpr DWORD SilenceMs = 500;

inline std::wstring BrokerExe() { return WinePathFromUnix(TARNVEL_BROKER_EXE); }
inline std::wstring HostExe() { return WinePathFromUnix(TARNVEL_HOST_EXE); }
inline std::wstring Program(const char* name) {
  return WinePathFromUnix(std::string(TARNVEL_TEST_PROGRAMS_DIR) + "/" + name + ".exe");
}

class Child {
 public:
  Child() = default;
  ~Child() {
    if (process_.valid() && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_.get(), 99);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // `args` follows the quoted program path on the command line. Standard error joins
  // standard output unless `errorTo` (an inheritable handle) takes it.
  bool Start(const std::wstring& exe, const std::wstring& args, bool withStdio, HANDLE errorTo = nullptr) {
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    UniqueHandle childIn, childOut;
    if (withStdio) {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
      HANDLE r = nullptr, w = nullptr;
      if (!CreatePipe(&r, &w, &sa, 0)) return false;
      childIn.reset(r);
      toChild_.reset(w);
      if (!CreatePipe(&r, &w, &sa, 1 << 16)) return false;
      fromChild_.reset(r);
      childOut.reset(w);
      SetHandleInformation(toChild_.get(), HANDLE_FLAG_INHERIT, 0);
      SetHandleInformation(fromChild_.get(), HANDLE_FLAG_INHERIT, 0);
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdInput = childIn.get();
      si.hStdOutput = childOut.get();
      si.hStdError = errorTo != nullptr ? errorTo : childOut.get();
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, withStdio ? TRUE : FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
      return false;
    }
    UniqueHandle thread(pi.hThread);
    process_.reset(pi.hProcess);
    pid_ = pi.dwProcessId;
    return true;
  }

  DWORD pid() const { return pid_; }
  HANDLE process() const { return process_.get(); }

  bool WriteLine(const std::string& line) {
    std::string s = line + "\n";
    DWORD n = 0;
    return WriteFile(toChild_.get(), s.data(), static_cast<DWORD>(s.size()), &n, nullptr) && n == s.size();
  }

  // End of the child's standard input.
  void CloseInput() { toChild_.reset(); }

  // One line of the child's output (without the line feed); false after the time-out or
  // when the child closed its output.
  bool ReadLine(DWORD timeoutMs, std::string& line) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
      size_t nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        line = buffered_.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        buffered_.erase(0, nl + 1);
        return true;
      }
      if (!ReadSome() || GetTickCount64() >= deadline) return false;
    }
  }

  // Everything the child writes until it closes its output or the time-out passes.
  std::string ReadAll(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline && ReadSome()) {
    }
    std::string all = buffered_;
    buffered_.clear();
    return all;
  }

  bool WaitForExit(DWORD timeoutMs, DWORD& code) {
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process_.get(), &code) != 0;
  }

  void Terminate() {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 5000);
  }

 private:
  // False when the pipe is closed; polls so that the caller's deadline holds.
  bool ReadSome() {
    DWORD avail = 0;
    if (!PeekNamedPipe(fromChild_.get(), nullptr, 0, nullptr, &avail, nullptr)) return false;
    if (avail == 0) {
      Sleep(10);
      return true;
    }
    char buf[4096];
    DWORD n = 0;
    if (!ReadFile(fromChild_.get(), buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr)) return false;
    buffered_.append(buf, n);
    return true;
  }

  UniqueHandle process_;
  DWORD pid_ = 0;
  UniqueHandle toChild_, fromChild_;
  std::string buffered_;
};

// A request by its op's name: message 6, and its reply 7 in `out`.
inline tarnvel::host::CallResult Request(tarnvel::host::HostConnection& conn, tarnvel::protocol::RequestOp op,
                                         int32_t hive, const Text& a, const Text& b, const Text& c, DWORD timeoutMs,
                                         tarnvel::host::Reply& out) {
  return conn.Request(tarnvel::protocol::Code(op), hive, a, b, c, timeoutMs, out);
}

// A broker started the way a host starts it, with this test process as its host, and
// the host's connection to it.
struct Broker {
  tarnvel::host::BrokerProcess process;
  tarnvel::host::HostConnection conn;
  std::wstring pipeName = tarnvel::host::MakeUniquePipeName(L"tarnvel-e2e");

  // Starts and connects; `hostPid` 0 means this process.
  bool StartAndConnect(bool underDebugger = false, DWORD hostPid = 0) {
    tarnvel::host::StartOptions o;
    o.exe = BrokerExe();
    o.pipeName = pipeName;
    o.hostPid = hostPid;
    o.underDebugger = underDebugger;
    if (process.Start(o) && conn.Connect(pipeName, StartMs, &process)) return true;
    // Wine now and then fails to create a process on a loaded machine; that is said, and the
    // start is tried once more under a new pipe name. A broker that ran and failed is not.
    DWORD code = 0;
    const bool ran = process.pid() != 0 && process.WaitForExit(0, &code);
    std::fprintf(stderr, "e2e: broker start failed (start error %lu, %s %lu); trying once more\n",
                 static_cast<unsigned long>(process.startError()), ran ? "exit code" : "pid",
                 static_cast<unsigned long>(ran ? code : process.pid()));
    if (underDebugger || ran) return false;
    if (process.pid() != 0) process.Terminate();
    pipeName = tarnvel::host::MakeUniquePipeName(L"tarnvel-e2e");
    o.pipeName = pipeName;
    return process.Start(o) && conn.Connect(pipeName, StartMs, &process);
  }

  tarnvel::host::CallResult Request(tarnvel::protocol::RequestOp op, int32_t hive, const Text& a, const Text& b,
                                    const Text& c, DWORD timeoutMs, tarnvel::host::Reply& out) {
    return e2e::Request(conn, op, hive, a, b, c, timeoutMs, out);
  }

  // The exit code after the host's end closed; -1 when the broker did not exit in time.
  long CloseAndExitCode() {
    conn.Close();
    DWORD code = 0;
    return process.WaitForExit(StartMs, &code) ? static_cast<long>(code) : -1;
  }
};

inline Text T(const char* ascii) { return AsciiText(ascii); }

}  // namespace e2e
