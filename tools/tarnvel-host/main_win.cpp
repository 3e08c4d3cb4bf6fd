// SPDX-License-Identifier: Apache-2.0
// tarnvel-host: a host application in miniature. Starts a broker, connects as its host,
// runs a session of requests written in plain words and prints every reply (see --help).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/decimal.h"
#include "base/nul_list.h"
#include "base/wide_text_win.h"
#include "tarnvel/protocol.h"
#include "tools/raw_client/raw_client_win.h"
#include "tools/tarnvel-host/json.h"
#include "tools/tarnvel-host/session.h"

using namespace tarnvel::host;
using tarnvel::protocol::Code;
using tarnvel::protocol::MessageId;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

// The exit status people script against (also in --help).
constexpr int ExitOk = 0;
constexpr int ExitRequestFailed = 1;  // a reply had a status other than Success
constexpr int ExitUsage = 2;
constexpr int ExitMisbehaved = 3;  // the broker could not start, or misbehaved

#ifndef TARNVEL_VERSION
#define TARNVEL_VERSION "unknown"
#endif

void Out(const std::string& line) {
  std::string s = line + "\n";
  fwrite(s.data(), 1, s.size(), stdout);
  fflush(stdout);
}

// What went wrong goes to standard error, so a script reads the session on standard output
// and the failures apart from it.
void Err(const std::string& line) {
  std::string s = "tarnvel-host: " + line + "\n";
  fwrite(s.data(), 1, s.size(), stderr);
  fflush(stderr);
}

struct Options {
  std::wstring brokerExe;
  std::wstring pipeName;
  DWORD hostPid = 0;
  DWORD timeoutMs = 5000;
  DWORD quietMs = 300;
  bool debugLines = false;
  bool json = false;  // one JSON object per session line and one for the end
  PointerWidth handleWidth = NativePointerWidth;
};

struct Line {
  Text text;
  Action action;
};

// Decimal digits only, 0 to 4294967295.
bool ReadNumber(const wchar_t* text, DWORD& out) {
  uint64_t v = 0;
  if (!ParseDecimalDigits(FromWide(text), 0xFFFFFFFFull, v)) return false;
  out = static_cast<DWORD>(v);
  return true;
}

bool ReadFileBytes(const std::wstring& path, std::string& out) {
  if (path == L"-") {
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) out.append(buf, n);
    return true;
  }
  UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(file.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return true;
}

bool AddLine(const Text& text, std::vector<Line>& lines, std::string& error) {
  size_t first = text.find_first_not_of(u" \t\r\n");
  if (first == Text::npos || text[first] == u'#') return true;
  std::vector<Text> words;
  if (!SplitWords(text, words, error)) return false;
  Line line;
  line.text = text;
  while (!line.text.empty() && (line.text.back() == u'\r' || line.text.back() == u'\n')) line.text.pop_back();
  if (!ParseAction(words, line.action, error)) return false;
  lines.push_back(std::move(line));
  return true;
}

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Beside this program, else dist\<arch>\ of a folder above it (the build tree's place
// in a clone of the repository).
std::wstring DefaultBrokerExe() {
  wchar_t self[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  const std::wstring beside = dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"TarnvelBroker.exe";
  if (FileExists(beside)) return beside;
  const wchar_t* arch = sizeof(void*) == 8 ? L"x64" : L"x86";
  for (int up = 0; up < 8; ++up) {
    size_t slash = dir.find_last_of(L"\\/");
    if (slash == std::wstring::npos) break;
    dir.resize(slash);
    std::wstring candidate = dir + L"\\dist\\" + arch + L"\\TarnvelBroker.exe";
    if (FileExists(candidate)) return candidate;
  }
  return beside;
}

std::string Narrow(const std::wstring& w) { return Utf8(FromWide(w)); }

std::string ParamText(const Param& p) {
  char buf[64];
  switch (p.type) {
    case Int32Kind1:
    case Int32Kind2:
    case Int32Kind3:
    case Int32Kind4:
      snprintf(buf, sizeof buf, "i%d:%lld", static_cast<int>(p.type), static_cast<long long>(p.value));
      return buf;
    case Char8:
      snprintf(buf, sizeof buf, "c8:%lld", static_cast<long long>(p.value));
      return buf;
    case Char16:
      snprintf(buf, sizeof buf, "c16:%lld", static_cast<long long>(p.value));
      return buf;
    case PointerSized:
      snprintf(buf, sizeof buf, "ptr:%lld", static_cast<long long>(p.value));
      return buf;
    case NullString8:
      return "null8";
    case NullString16:
      return "null16";
    case NullByteArray:
      return "nullbytes";
    case CString16:
      return "cs:" + Quoted(p.string16);
    case String16:
      return "s:" + Quoted(p.string16);
    default: {
      Text latin(p.string8.begin(), p.string8.end());
      return (p.type == CString8 ? "cb:" : p.type == ByteArray ? "bytes:" : "b:") + Quoted(latin);
    }
  }
}

std::string MessageText(const Message& m) {
  std::string s = "message " + std::to_string(m.id) + ":";
  for (const Param& p : m.params) s += " " + ParamText(p);
  return s;
}

class Session {
 public:
  Session(const Options& options, BrokerProcess& broker, HostConnection& conn)
      : options_(options), broker_(broker), conn_(conn) {}

  // A session line starts: in text mode it is echoed, in JSON mode it opens the line's object.
  void Begin(const Text& line) {
    if (!options_.json) {
      Out("> " + Utf8(line));
      return;
    }
    record_ = JsonObject();
    debug_.clear();
    std::vector<Text> words;
    std::string unused;
    record_.String("line", line);
    if (SplitWords(line, words, unused) && !words.empty()) record_.String("word", words[0]);
  }

  // The line is done: in JSON mode its object, with the debugger lines written meanwhile.
  void End() {
    if (!options_.json) return;
    ShowDebugLines();
    record_.Raw("debugLines", JsonArray(debug_));
    Out(record_.Json());
  }

  // False when the broker misbehaved; the session stops there.
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
        std::vector<Param> zero{Param::Int32(0, Int32Kind2)};
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
        Say("  host closed the pipe", "closed", "true");
        return true;
    }
    return false;
  }

  void ShowDebugLines() {
    for (std::string line : broker_.TakeNewDebugLines()) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (options_.json) {
        debug_.push_back(JsonStringFromBytes(line));
      } else {
        Out("  debugger: " + line);
      }
    }
  }

 private:
  // Text mode prints `text`; JSON mode adds the member `name` with the JSON value `json`.
  void Say(const std::string& text, const char* name, const std::string& json) {
    if (options_.json) {
      record_.Raw(name, json);
    } else {
      Out(text);
    }
  }

  bool Fail(CallResult r) {
    ShowDebugLines();
    if (r == CallResult::NotConnected) {
      Say("  not sent: the connection ended earlier in this session", "error",
          JsonStringFromBytes("not sent: the connection ended earlier in this session"));
      return false;
    }
    std::string what = CallResultName(r);
    if (r == CallResult::WrongReply) what += ": " + MessageText(conn_.lastMessage());
    char ms[32];
    snprintf(ms, sizeof ms, " (%lu ms)", static_cast<unsigned long>(options_.timeoutMs));
    what += r == CallResult::TimedOut ? std::string(ms) : std::string();
    Say("  broker misbehaved: " + what, "error", JsonStringFromBytes("broker misbehaved: " + what));
    return false;
  }

  bool RunRequest(const Action& a) {
    Reply reply;
    CallResult r = conn_.Request(a.op, a.hive, a.a, a.b, a.c, options_.timeoutMs, reply);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    const bool success = reply.status == Code(RequestStatus::Success);
    if (!success) anyRequestFailed_ = true;
    if (options_.json) return RecordReply(a, reply);
    std::string head = "  reply: " + std::to_string(reply.status) + " " + StatusText(reply.status);
    if (!success || a.shape == ReplyShape::Plain) {
      Out(head + " " + Quoted(reply.text));
      return true;
    }
    std::vector<Text> items = SplitNulTerminated(reply.text);
    if (a.shape == ReplyShape::List) {
      Out(head + ", " + std::to_string(items.size()) + (items.size() == 1 ? " name" : " names"));
      for (const Text& t : items) Out("    " + Quoted(t));
    } else {
      size_t pairs = (items.size() + 1) / 2;
      Out(head + ", " + std::to_string(pairs) + (pairs == 1 ? " value" : " values"));
      for (size_t i = 0; i < items.size(); i += 2) {
        std::string data = "(missing)";
        if (i + 1 < items.size()) data = items[i + 1].empty() ? EmptyData(a, items[i]) : Quoted(items[i + 1]);
        if (data.empty()) return false;
        Out("    " + Quoted(items[i]) + " = " + data);
      }
    }
    return true;
  }

  // A reply as JSON members: its numbers and names, then its text, or its list of names, or
  // its values as name and data (a value that is not a string has empty data, as listed).
  bool RecordReply(const Action& a, const Reply& reply) {
    record_.Number("op", a.op).Number("status", reply.status).Bytes("statusName", StatusText(reply.status));
    if (reply.status != Code(RequestStatus::Success) || a.shape == ReplyShape::Plain) {
      record_.String("text", reply.text);
      return true;
    }
    std::vector<Text> items = SplitNulTerminated(reply.text);
    std::vector<std::string> values;
    if (a.shape == ReplyShape::List) {
      for (const Text& t : items) values.push_back(JsonString(t));
      record_.Raw("list", JsonArray(values));
      return true;
    }
    for (size_t i = 0; i < items.size(); i += 2) {
      JsonObject pair;
      pair.String("name", items[i]).Raw("data", i + 1 < items.size() ? JsonString(items[i + 1]) : "null");
      values.push_back(pair.Json());
    }
    record_.Raw("values", JsonArray(values));
    return true;
  }

  // The listing gives no data for a value that is not a string, as for an empty string:
  // a read of the value as a string tells them apart (NotFound for another type).
  // Empty when the broker misbehaved on that read.
  std::string EmptyData(const Action& list, const Text& name) {
    Reply reply;
    CallResult r =
        conn_.Request(Code(RequestOp::ReadString), list.hive, list.a, name, Text(), options_.timeoutMs, reply);
    if (r != CallResult::Ok) {
      Fail(r);
      return std::string();
    }
    ShowDebugLines();
    return reply.status == Code(RequestStatus::Success) ? Quoted(reply.text) : std::string("(not a string)");
  }

 public:
  bool anyRequestFailed() const { return anyRequestFailed_; }

 private:
  bool RunPluginPipe(const Action& a) {
    PluginPipeReply reply;
    CallResult r = conn_.RequestPluginPipe(a.number, options_.timeoutMs, reply);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    if (options_.json) {
      record_.Number("pid", a.number).Number("error", reply.error).Number("handle", reply.handle);
      return true;
    }
    char buf[128];
    if (reply.handle == -1) {
      snprintf(buf, sizeof buf, "  reply 4: error %ld, handle -1 (no pipe made)", static_cast<long>(reply.error));
    } else {
      snprintf(buf, sizeof buf, "  reply 4: error %ld, handle 0x%llx in process %lu", static_cast<long>(reply.error),
               static_cast<unsigned long long>(reply.handle), static_cast<unsigned long>(a.number));
    }
    Out(buf);
    return true;
  }

  bool RunSend(const Action& a) {
    if (!conn_.Send(a.id, a.params, options_.timeoutMs)) return Fail(CallResult::WriteFailed);
    Message m;
    CallResult r = conn_.ReadMessage(options_.timeoutMs, m);
    if (r != CallResult::Ok) return Fail(r);
    ShowDebugLines();
    Say("  " + MessageText(m), "message", JsonStringFromBytes(MessageText(m)));
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
        Say("  no reply (none expected)", "reply", "\"none\"");
        return true;
      case CallResult::Broken:
        conn_.Close();
        Say("  the broker ended the connection", "reply", "\"connection ended\"");
        return true;
      case CallResult::Ok:
        Say("  broker misbehaved: unexpected " + MessageText(m), "error",
            JsonStringFromBytes("broker misbehaved: unexpected " + MessageText(m)));
        return false;
      default:
        return Fail(r);
    }
  }

  const Options& options_;
  BrokerProcess& broker_;
  HostConnection& conn_;
  bool anyRequestFailed_ = false;
  JsonObject record_;
  std::vector<std::string> debug_;  // JSON strings
};

}  // namespace

namespace {

bool OptionError(const std::wstring& option, const std::string& what) {
  fprintf(stderr, "tarnvel-host: %s%s (see --help)\n", Narrow(option).c_str(), what.c_str());
  return false;
}

bool NumberOption(const std::wstring& option, const wchar_t* value, const char* unit, DWORD& out) {
  if (ReadNumber(value, out)) return true;
  return OptionError(option, ": '" + Narrow(value) + "' is not " + unit + " (decimal, 0 to 4294967295)");
}

// The lines of a script file, each checked before anything starts.
bool AddScript(const std::wstring& path, std::vector<Line>& lines) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return OptionError(L"--script", ": cannot read '" + Narrow(path) + "'");
  Text all = FromUtf8(bytes);
  size_t start = 0, number = 0;
  std::string error;
  while (start <= all.size()) {
    size_t end = all.find(u'\n', start);
    if (end == Text::npos) end = all.size();
    ++number;
    if (!AddLine(all.substr(start, end - start), lines, error)) {
      fprintf(stderr, "tarnvel-host: %s line %zu: %s\n", Narrow(path).c_str(), number, error.c_str());
      return false;
    }
    start = end + 1;
  }
  return true;
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);

  Options options;
  std::vector<Line> lines;
  // Lines before this index come before standard input's when --script - is given.
  size_t stdinAt = SIZE_MAX;
  std::string error;
  // A session of nothing is a mistake, not a success; "/?" is how Windows programs are asked.
  if (argc < 2 || (argc == 2 && std::wstring(argv[1]) == L"/?")) {
    fputs(HelpText(), stderr);
    return ExitUsage;
  }
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    const bool takesValue = arg == L"--broker" || arg == L"--pipe" || arg == L"--host-pid" || arg == L"--timeout" ||
                            arg == L"--quiet-ms" || arg == L"--handle-bits" || arg == L"--script";
    if (takesValue && i + 1 >= argc) {
      OptionError(arg, " needs a value");
      return ExitUsage;
    }
    if (arg == L"--help" || arg == L"-h") {
      fputs(HelpText(), stdout);
      return ExitOk;
    } else if (arg == L"--version") {
      Out("tarnvel-host " TARNVEL_VERSION);
      return ExitOk;
    } else if (arg == L"--debug-lines") {
      options.debugLines = true;
    } else if (arg == L"--json") {
      options.json = true;
    } else if (arg == L"--broker") {
      options.brokerExe = argv[++i];
    } else if (arg == L"--pipe") {
      options.pipeName = argv[++i];
      if (options.pipeName.empty() || options.pipeName.find(L'\\') != std::wstring::npos) {
        OptionError(arg, ": '" + Narrow(options.pipeName) + "' is not a pipe name (not empty, no backslash)");
        return ExitUsage;
      }
    } else if (arg == L"--host-pid") {
      if (!NumberOption(arg, argv[++i], "a process id", options.hostPid)) return ExitUsage;
    } else if (arg == L"--timeout") {
      if (!NumberOption(arg, argv[++i], "a number of milliseconds", options.timeoutMs)) return ExitUsage;
    } else if (arg == L"--quiet-ms") {
      if (!NumberOption(arg, argv[++i], "a number of milliseconds", options.quietMs)) return ExitUsage;
    } else if (arg == L"--handle-bits") {
      std::wstring v = argv[++i];
      if (v != L"32" && v != L"64") {
        OptionError(arg, ": '" + Narrow(v) + "' is neither 32 nor 64");
        return ExitUsage;
      }
      options.handleWidth = v == L"32" ? PointerWidth::Bits32 : PointerWidth::Bits64;
    } else if (arg == L"--script") {
      std::wstring path = argv[++i];
      if (path == L"-") {
        if (stdinAt != SIZE_MAX) {
          OptionError(arg, ": standard input ('-') can be read only once");
          return ExitUsage;
        }
        stdinAt = lines.size();
      } else if (!AddScript(path, lines)) {
        return ExitUsage;
      }
    } else if (arg.rfind(L"--", 0) == 0) {
      OptionError(arg, " is not an option");
      return ExitUsage;
    } else if (!AddLine(FromWide(arg), lines, error)) {
      fprintf(stderr, "tarnvel-host: '%s': %s\n", Narrow(arg).c_str(), error.c_str());
      return ExitUsage;
    }
  }
  if (options.brokerExe.empty()) options.brokerExe = DefaultBrokerExe();
  if (options.pipeName.empty()) options.pipeName = MakeUniquePipeName();

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
  if (!options.json)
    Out("broker " + Narrow(options.brokerExe) + " started, pid " + std::to_string(broker.pid()) +
        ", pipe \\\\.\\pipe\\" + Narrow(options.pipeName) + ", host pid " + std::to_string(start.hostPid) +
        (options.debugLines ? ", under the debugger" : ""));

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
    Session session(options, broker, conn);
    auto run = [&](const Line& line) {
      session.Begin(line.text);
      const bool ok = session.Run(line.action);
      session.End();
      if (ok) return true;
      exitCode = ExitMisbehaved;
      return false;
    };
    bool going = true;
    for (size_t i = 0; going && i < lines.size(); ++i) {
      if (i == stdinAt) break;
      going = run(lines[i]);
    }
    if (going && stdinAt != SIZE_MAX) {
      StdinLines input;
      Text text;
      while (going && input.Next(text)) {
        std::vector<Line> one;
        if (!AddLine(text, one, error)) {
          fprintf(stderr, "tarnvel-host: standard input line %zu: %s\n", input.number(), error.c_str());
          exitCode = ExitUsage;
          going = false;
        } else if (!one.empty()) {
          going = run(one[0]);
        }
      }
      for (size_t i = stdinAt; going && i < lines.size(); ++i) going = run(lines[i]);
    }
    requestFailed = session.anyRequestFailed();
    conn.Close();
  }

  DWORD brokerExit = 0;
  bool exited = broker.WaitForExit(options.timeoutMs, &brokerExit);
  std::vector<std::string> lastLines;
  for (std::string line : broker.TakeNewDebugLines()) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (options.json) {
      lastLines.push_back(JsonStringFromBytes(line));
    } else {
      Out("  debugger: " + line);
    }
  }
  if (!exited) {
    Err("broker did not exit within " + std::to_string(options.timeoutMs) + " ms; ended it");
    broker.Terminate();
    exitCode = ExitMisbehaved;
  } else {
    if (!options.json) Out("broker exit code: " + std::to_string(brokerExit));
    if (brokerExit != 0 && exitCode == ExitOk) exitCode = ExitMisbehaved;
    if (exitCode == ExitOk && requestFailed) exitCode = ExitRequestFailed;
  }
  if (options.json) {
    // The end of the session: which broker ran, how it ended, and this program's own status.
    JsonObject end;
    end.Bool("end", true)
        .Raw("broker", JsonString(FromWide(options.brokerExe)))
        .Number("pid", broker.pid())
        .Raw("pipe", JsonString(FromWide(options.pipeName)))
        .Raw("brokerExitCode", exited ? std::to_string(brokerExit) : "null")
        .Number("exitCode", exitCode)
        .Raw("debugLines", JsonArray(lastLines));
    Out(end.Json());
  }
  return exitCode;
}
