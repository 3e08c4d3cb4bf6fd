// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/session_runner_win.h"

#include <cstdio>
#include <memory>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "tarnvel/protocol.h"
#include "tools/tarnvel-host/printer.h"

namespace tarnvel::host {

namespace {

using protocol::Code;
using protocol::MessageId;
using protocol::RequestOp;
using protocol::RequestStatus;

std::string Narrow(const std::wstring& w) { return Utf8(FromWide(w)); }

// What went wrong goes to standard error, so a script reads the session on standard output
// and the failures apart from it.
void Err(const std::string& line) {
  std::string s = "tarnvel-host: " + line + "\n";
  fwrite(s.data(), 1, s.size(), stderr);
  fflush(stderr);
}

// Why a broker ended before it accepted its host: the two causes a person can act on.
std::string StartUpCause(DWORD hostPid, const std::wstring& pipeName) {
  UniqueHandle host(OpenProcess(SYNCHRONIZE, FALSE, hostPid));
  if (!host.valid()) {
    return "the host process id " + std::to_string(hostPid) + " does not exist (error " +
           std::to_string(GetLastError()) + ")";
  }
  const std::wstring path = L"\\\\.\\pipe\\" + pipeName;
  if (WaitNamedPipeW(path.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
    return "the pipe name " + Narrow(pipeName) + " is already in use";
  }
  return "it refused its command line or could not create its pipe";
}

// Standard input as session lines, each run as soon as it has arrived.
class StdinLines {
 public:
  // False at the end of the input.
  bool Next(Text& line) {
    std::string bytes;
    char buf[4096];
    for (;;) {
      if (!fgets(buf, sizeof buf, stdin)) {
        if (bytes.empty()) return false;
        break;
      }
      bytes += buf;
      if (!bytes.empty() && bytes.back() == '\n') break;
    }
    ++number_;
    line = FromUtf8(bytes);
    return true;
  }
  size_t number() const { return number_; }

 private:
  size_t number_ = 0;
};

// The lines of one connected session, each run against the broker and shown by the printer.
class Session {
 public:
  Session(const Options& options, BrokerProcess& broker, HostConnection& conn, Printer& printer)
      : options_(options), broker_(broker), conn_(conn), printer_(printer) {}

  // False when the broker misbehaved; the session stops there.
  bool RunLine(const Line& line) {
    printer_.BeginLine(line.text);
    const bool ok = Run(line.action);
    ShowDebugLines();
    printer_.EndLine();
    return ok;
  }

  void ShowDebugLines() {
    for (std::string line : broker_.TakeNewDebugLines()) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      printer_.DebugLine(line);
    }
  }

  bool anyRequestFailed() const { return anyRequestFailed_; }

 private:
  bool Run(const Action& a) {
    switch (a.kind) {
      case Action::Kind::Request:
        return RunRequest(a);
      case Action::Kind::PluginPipe:
        return RunPluginPipe(a);
      case Action::Kind::Send:
        return RunSend(a);
      case Action::Kind::Post:
        return Expect(conn_.Send(a.id, a.params, options_.timeoutMs));
      case Action::Kind::KeepAlive: {
        std::vector<ipc::Param> zero{ipc::Param::Int32(0, ipc::Int32Kind2)};
        return Expect(conn_.Send(MessageId::KeepAlive, zero, options_.timeoutMs));
      }
      case Action::Kind::Raw:
        return Expect(conn_.WriteRaw(a.bytes, options_.timeoutMs));
      case Action::Kind::Sleep:
        Sleep(a.number);
        ShowDebugLines();
        return true;
      case Action::Kind::Close:
        conn_.Close();
        printer_.Closed();
        return true;
    }
    return false;
  }

  bool Fail(CallResult r) {
    ShowDebugLines();
    if (r == CallResult::NotConnected) {
      printer_.Error("not sent: the connection ended earlier in this session");
      return false;
    }
    std::string what = CallResultName(r);
    if (r == CallResult::WrongReply) what += ": " + MessageText(conn_.lastMessage().id, conn_.lastMessage().params);
    if (r == CallResult::TimedOut) what += " (" + std::to_string(options_.timeoutMs) + " ms)";
    printer_.Error("broker misbehaved: " + what);
    return false;
  }

  bool RunRequest(const Action& a) {
    Reply reply;
    CallResult r = conn_.Request(a.op, a.hive, a.a, a.b, a.c, options_.timeoutMs, reply);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    if (reply.status != Code(RequestStatus::Success)) anyRequestFailed_ = true;
    // A listed value with empty data, read as a string: NotFound means another type.
    const StringReader readString = [&](const Text& name, std::optional<Text>& value) {
      Reply read;
      CallResult rr = conn_.Request(Code(RequestOp::ReadString), a.hive, a.a, name, Text(), options_.timeoutMs, read);
      if (rr != CallResult::Ok) return Fail(rr);
      ShowDebugLines();
      value.reset();
      if (read.status == Code(RequestStatus::Success)) value = read.text;
      return true;
    };
    return printer_.Reply(a, reply.status, reply.text, readString);
  }

  bool RunPluginPipe(const Action& a) {
    PluginPipeReply reply;
    CallResult r = conn_.RequestPluginPipe(a.number, options_.timeoutMs, reply);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    printer_.PluginPipe(a.number, reply.error, reply.handle);
    return true;
  }

  bool RunSend(const Action& a) {
    if (!conn_.Send(a.id, a.params, options_.timeoutMs)) return Fail(CallResult::WriteFailed);
    Message m;
    CallResult r = conn_.ReadMessage(options_.timeoutMs, m);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    printer_.Message(MessageText(m.id, m.params));
    return true;
  }

  // After a message that gets no reply: watch the pipe for a while.
  bool Expect(bool written) {
    if (!written) return Fail(conn_.IsOpen() ? CallResult::WriteFailed : CallResult::NotConnected);
    Message m;
    CallResult r = conn_.ReadMessage(options_.quietMs, m);
    ShowDebugLines();
    switch (r) {
      case CallResult::TimedOut:
        printer_.NoReply();
        return true;
      case CallResult::Broken:
        conn_.Close();
        printer_.ConnectionEnded();
        return true;
      case CallResult::Ok:
        printer_.Error("broker misbehaved: unexpected " + MessageText(m.id, m.params));
        return false;
      default:
        return Fail(r);
    }
  }

  const Options& options_;
  BrokerProcess& broker_;
  HostConnection& conn_;
  Printer& printer_;
  bool anyRequestFailed_ = false;
};

// Runs the lines, standard input's at their place; the exit status so far.
int RunLines(const CommandLine& cl, Session& session) {
  bool going = true;
  for (size_t i = 0; going && i < cl.lines.size() && i != cl.stdinAt; ++i) going = session.RunLine(cl.lines[i]);
  if (going && cl.stdinAt != SIZE_MAX) {
    StdinLines input;
    Text text;
    std::string error;
    while (going && input.Next(text)) {
      std::vector<Line> one;
      if (!AddLine(text, one, error)) {
        fprintf(stderr, "tarnvel-host: standard input line %zu: %s\n", input.number(), error.c_str());
        return ExitUsage;
      }
      if (!one.empty()) going = session.RunLine(one[0]);
    }
    for (size_t i = cl.stdinAt; going && i < cl.lines.size(); ++i) going = session.RunLine(cl.lines[i]);
  }
  return going ? ExitOk : ExitMisbehaved;
}

}  // namespace

int RunSession(const CommandLine& cl) {
  const Options& options = cl.options;
  std::unique_ptr<Printer> printer = options.json ? MakeJsonPrinter() : MakeTextPrinter();
  StartOptions start;
  start.exe = options.brokerExe;
  start.pipeName = options.pipeName;
  start.hostPid = options.hostPid != 0 ? options.hostPid : GetCurrentProcessId();
  start.underDebugger = options.debugLines;
  BrokerProcess broker;
  if (!broker.Start(start)) {
    fprintf(stderr, "tarnvel-host: cannot start %s (error %lu)\n", Narrow(options.brokerExe).c_str(),
            static_cast<unsigned long>(broker.startError()));
    return ExitMisbehaved;
  }
  printer->Started(
      {FromWide(options.brokerExe), broker.pid(), FromWide(options.pipeName), start.hostPid, options.debugLines});

  HostConnection conn(options.handleWidth);
  int exitCode = ExitOk;
  bool requestFailed = false;
  if (!conn.Connect(options.pipeName, options.timeoutMs, &broker)) {
    std::string why = "cannot connect to the broker pipe (error " + std::to_string(conn.lastError()) + ")";
    DWORD code = 0;
    if (broker.WaitForExit(0, &code)) {
      why += ": the broker exited with code " + std::to_string(code) + " before accepting; " +
             StartUpCause(start.hostPid, options.pipeName);
    }
    Err(why);
    exitCode = ExitMisbehaved;
  } else {
    Session session(options, broker, conn, *printer);
    exitCode = RunLines(cl, session);
    requestFailed = session.anyRequestFailed();
    conn.Close();
  }

  DWORD brokerExit = 0;
  const bool exited = broker.WaitForExit(options.timeoutMs, &brokerExit);
  for (std::string line : broker.TakeNewDebugLines()) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    printer->DebugLine(line);
  }
  if (!exited) {
    Err("broker did not exit within " + std::to_string(options.timeoutMs) + " ms; ended it");
    broker.Terminate();
    exitCode = ExitMisbehaved;
  } else {
    printer->BrokerExited(brokerExit);
    if (brokerExit != 0 && exitCode == ExitOk) exitCode = ExitMisbehaved;
    if (exitCode == ExitOk && requestFailed) exitCode = ExitRequestFailed;
  }
  printer->End({FromWide(options.brokerExe), broker.pid(), FromWide(options.pipeName),
                exited ? std::optional<uint32_t>(brokerExit) : std::nullopt, exitCode});
  return exitCode;
}

}  // namespace tarnvel::host
