// SPDX-License-Identifier: Apache-2.0
// tarnvel-host.exe as a person uses it: a session in words, the printed replies, the
// broker's debugger lines beside them, and the exit code.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

using namespace tarnvel;

using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;

namespace {

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;
};

// Each line is one session line (one argument of the command line).
ToolRun RunTool(const std::wstring& options, const std::vector<std::wstring>& lines,
                const std::wstring& broker = e2e::BrokerExe()) {
  std::wstring args = L"--broker \"" + broker + L"\" " + options;
  for (const std::wstring& l : lines) args += L" \"" + l + L"\"";
  e2e::Child tool;
  ToolRun run;
  if (!tool.Start(e2e::HostExe(), args, true)) return run;
  run.output = tool.ReadAll(30000);
  if (!tool.WaitForExit(e2e::StartMs, run.exitCode)) run.exitCode = 0xFFFFFFFF;
  return run;
}

std::wstring Key() { return L"software\\tarnvel\\" + tarnvel::host::MakeUniquePipeName(L"e2e-tool"); }

bool Has(const std::string& output, const std::string& text) { return output.find(text) != std::string::npos; }

TEST(HostTool, SessionPrintsRepliesDebuggerLinesAndTheExitCode) {
  const std::wstring key = L"'" + Key() + L"'";
  ToolRun run = RunTool(L"--debug-lines", {
                                              L"ping",
                                              L"write-string hkcu " + key + L" greeting 'hello world'",
                                              L"read-string hkcu " + key + L" greeting",
                                              L"write-dword hkcu " + key + L" count -1",
                                              L"read-dword hkcu " + key + L" count",
                                              L"list-values hkcu " + key,
                                              L"write-string hklm " + key + L" x y",
                                              L"delete-tree hkcu " + key,
                                              L"key-exists hkcu " + key,
                                          });
  SCOPED_TRACE(run.output);
  // Denied and NotFound replies: the session ran, but not every request succeeded.
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.output, "> ping\n  reply: 0 Success \"pong\"\n"));
  EXPECT_TRUE(Has(run.output, "greeting\n  reply: 0 Success \"hello world\"\n"));
  EXPECT_TRUE(Has(run.output, "count\n  reply: 0 Success \"4294967295\"\n"));
  // The registry's enumeration order differs between systems: each pair on its own line.
  EXPECT_TRUE(Has(run.output, "  reply: 0 Success, 2 values\n"));
  EXPECT_TRUE(Has(run.output, "\n    \"count\" = (not a string)\n"));
  EXPECT_TRUE(Has(run.output, "\n    \"greeting\" = \"hello world\"\n"));
  EXPECT_TRUE(
      Has(run.output, " x y\n  debugger: [TarnvelBroker] denied: write to read-only hive\n  reply: 2 Denied \"\"\n"));
  EXPECT_TRUE(Has(run.output, "  reply: 1 NotFound \"\"\n"));
  EXPECT_TRUE(Has(run.output, "broker exit code: 0\n"));
}

TEST(HostTool, NoReplyWithinTheTimeOutFailsTheSession) {
  // A request with one parameter is dropped by the broker without a reply.
  ToolRun run = RunTool(L"--debug-lines --timeout 1000", {L"send 6 i2:11", L"ping"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_TRUE(Has(run.output, "  debugger: !! svc:OnMsgArgCountError\n"));
  EXPECT_TRUE(Has(run.output, "broker misbehaved: no reply within the time-out (1000 ms)"));
  EXPECT_FALSE(Has(run.output, "> ping"));
  EXPECT_TRUE(Has(run.output, "broker exit code: 0\n"));
}

TEST(HostTool, MessagesWithoutReplyAreWatchedForSilence) {
  ToolRun run = RunTool(L"", {L"keep-alive", L"post 6 i2:11", L"ping", L"post 5 i2:0"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Has(run.output, "> keep-alive\n  no reply (none expected)\n"));
  EXPECT_TRUE(Has(run.output, "> ping\n  reply: 0 Success \"pong\"\n"));
  EXPECT_TRUE(Has(run.output, "> post 5 i2:0\n  the broker ended the connection\n"));
  EXPECT_TRUE(Has(run.output, "broker exit code: 0\n"));
}

TEST(HostTool, HandMadeMessagesAndQuotedWords) {
  ToolRun run = RunTool(L"--debug-lines", {
                                              L"send 6 i2:11 i2:0 s:'a b' null16 null16",
                                              L"op 0 5 'software\\tarnvel\\x'",
                                              L"op 0 0 software/tarnvel/x",
                                          });
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.output, "  message 7: i2:0 s:\"pong\"\n"));
  EXPECT_TRUE(Has(run.output,
                  "> op 0 5 'software\\tarnvel\\x'\n  debugger: [TarnvelBroker] denied: unknown hive\n"
                  "  reply: 2 Denied \"\"\n"));
  EXPECT_TRUE(Has(run.output, "> op 0 0 software/tarnvel/x\n  reply: 4 BadArgument \"\"\n"));
}

TEST(HostTool, ReplyToRawBytesThatExpectNoneIsReported) {
  std::vector<uint8_t> ping =
      tarnvel::host::HostConnection::EncodeRequest(Code(RequestOp::Ping), 0, e2e::T(""), e2e::T(""), e2e::T(""));
  std::wstring hex;
  for (uint8_t b : ping) {
    wchar_t two[3];
    swprintf(two, 3, L"%02x", b);
    hex += two;
  }
  ToolRun run = RunTool(L"", {L"raw " + hex, L"ping"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_TRUE(Has(run.output, "  broker misbehaved: unexpected message 7: i2:0 s:\"pong\"\n"));
  EXPECT_FALSE(Has(run.output, "> ping"));
}

TEST(HostTool, UnterminatedQuotationIsAUsageError) {
  ToolRun run = RunTool(L"", {L"read-string hkcu 'software\\tarnvel x"});
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.output, "unterminated quotation")) << run.output;
}

TEST(HostTool, PluginPipeForAMissingProcessShowsNoHandle) {
  ToolRun run = RunTool(L"", {L"plugin-pipe 1073741808"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Has(run.output, "handle -1 (no pipe made)"));
}

TEST(HostTool, UnknownWordIsAUsageErrorBeforeAnyBrokerStarts) {
  ToolRun run = RunTool(L"", {L"ping", L"frobnicate hkcu x"});
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.output, "unknown word 'frobnicate'"));
  EXPECT_FALSE(Has(run.output, "broker exit code"));
}

TEST(HostTool, MisbehavingBrokerFailsTheSession) {
  struct Case {
    const wchar_t* mode;
    const char* report;
  };
  const Case cases[] = {
      {L"wrong-id", "broker misbehaved: wrong reply: message 9: i2:0 s:\"\""},
      {L"garbage", "broker misbehaved: malformed message"},
      {L"close", "broker misbehaved: pipe broken"},
      {L"silent", "broker misbehaved: no reply within the time-out (1000 ms)"},
  };
  for (const Case& c : cases) {
    // The tool passes its environment on to the broker it starts.
    SetEnvironmentVariableW(L"TARNVEL_ROGUE_MODE", c.mode);
    ToolRun run = RunTool(L"--timeout 1000", {L"ping", L"ping"}, e2e::Program("rogue_broker"));
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(Has(run.output, "> ping\n  " + std::string(c.report) + "\n"));
    // The session stops at the first misbehaviour.
    EXPECT_EQ(run.output.find("> ping"), run.output.rfind("> ping"));
  }
  SetEnvironmentVariableW(L"TARNVEL_ROGUE_MODE", nullptr);
}

TEST(HostTool, BrokerThatRefusesItsCommandLineIsReported) {
  ToolRun run = RunTool(L"--host-pid 1073741820", {L"ping"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_TRUE(Has(run.output, "cannot connect to the broker pipe"));
  EXPECT_TRUE(Has(run.output,
                  "the broker exited with code 1 before accepting; the host process id 1073741820 "
                  "does not exist"));
  EXPECT_TRUE(Has(run.output, "broker exit code: 1\n"));
  EXPECT_FALSE(Has(run.output, "> ping"));
}

// A script reads the session on standard output and what went wrong on standard error.
TEST(HostTool, UsageAndFailuresGoToStandardError) {
  struct Case {
    std::wstring args;
    DWORD exitCode;
    const char* onError;
  };
  const Case cases[] = {
      {L"", 2, "usage: tarnvel-host"},
      {L"/?", 2, "usage: tarnvel-host"},
      {L"--frobnicate", 2, "--frobnicate is not an option"},
      {L"--broker \"" + e2e::BrokerExe() + L"\" --host-pid 1073741820 ping", 3, "cannot connect to the broker pipe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
    ASSERT_NE(GetTempFileNameW(dir, L"err", 0, path), 0u);
    UniqueHandle errors(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(errors.valid());
    e2e::Child tool;
    ASSERT_TRUE(tool.Start(e2e::HostExe(), c.args, true, errors.get()));
    std::string output = tool.ReadAll(30000);
    DWORD code = 99;
    ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
    std::string error(64 * 1024, '\0');
    DWORD n = 0;
    ASSERT_NE(SetFilePointer(errors.get(), 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    ASSERT_TRUE(ReadFile(errors.get(), &error[0], static_cast<DWORD>(error.size()), &n, nullptr));
    error.resize(n);
    EXPECT_EQ(code, c.exitCode) << output << error;
    EXPECT_TRUE(Has(error, c.onError)) << error;
    EXPECT_FALSE(Has(output, c.onError)) << output;
  }
}

// --json: one object per line, exact texts (a lone surrogate stays a lone surrogate), the
// debugger lines written for each request, and one object for the end.
TEST(HostTool, JsonGivesOneObjectPerLineAndOneForTheEnd) {
  const std::wstring key = Key();
  std::string k;  // the key as a JSON text: ASCII, with every \ doubled
  for (wchar_t c : key) k += c == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
  std::wstring odd = L"x";
  odd.push_back(static_cast<wchar_t>(0xD800));
  odd += L"y";
  ToolRun run = RunTool(L"--json --debug-lines", {
                                                     L"ping",
                                                     L"write-string hkcu '" + key + L"' v '" + odd + L"'",
                                                     L"read-string hkcu '" + key + L"' v",
                                                     L"list-values hkcu '" + key + L"'",
                                                     L"read-string hkcu software\\other v",
                                                     L"delete-tree hkcu '" + key + L"'",
                                                 });
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 1u);  // one refusal
  const std::string lines[] = {
      R"({"line":"ping","word":"ping","op":11,"status":0,"statusName":"Success","text":"pong","debugLines":[]})",
      R"("word":"read-string","op":1,"status":0,"statusName":"Success","text":"x\ud800y","debugLines":[]})",
      R"("word":"list-values","op":10,"status":0,"statusName":"Success","values":[{"name":"v","data":"x\ud800y"}],)",
      R"({"line":"read-string hkcu software\\other v","word":"read-string","op":1,"status":2,"statusName":"Denied",)"
      R"("text":"","debugLines":["[TarnvelBroker] denied: outside Tarnvel subtree"]})",
  };
  for (const std::string& line : lines) EXPECT_TRUE(Has(run.output, line)) << line;
  EXPECT_TRUE(Has(run.output, R"({"line":"write-string hkcu ')" + k));
  EXPECT_TRUE(Has(run.output, R"(,"brokerExitCode":0,"exitCode":1,"debugLines":[]})"
                              "\n"));
  // Nothing but JSON: every line is one object.
  size_t objects = 0;
  for (size_t at = 0; at < run.output.size();) {
    size_t nl = run.output.find('\n', at);
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(run.output[at], '{');
    EXPECT_EQ(run.output[nl - 1], '}');
    ++objects;
    at = nl + 1;
  }
  EXPECT_EQ(objects, 7u);
}

TEST(HostTool, WithoutBrokerOptionTheBuiltBrokerIsFound) {
  e2e::Child tool;
  ASSERT_TRUE(tool.Start(e2e::HostExe(), L"ping", true));
  std::string output = tool.ReadAll(30000);
  DWORD code = 99;
  ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 0u) << output;
  // The broker of the tool's own architecture.
  const char* expected =
      sizeof(void*) == 8 ? "\\dist\\x64\\TarnvelBroker.exe started" : "\\dist\\x86\\TarnvelBroker.exe started";
  EXPECT_TRUE(Has(output, expected)) << output;
  EXPECT_TRUE(Has(output, "  reply: 0 Success \"pong\"\n")) << output;
}

TEST(HostTool, BrokerThatCannotStartIsReported) {
  e2e::Child tool;
  ASSERT_TRUE(tool.Start(e2e::HostExe(), L"--broker Z:\\no\\such\\TarnvelBroker.exe ping", true));
  std::string output = tool.ReadAll(e2e::StartMs);
  DWORD code = 0;
  ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 3u);
  EXPECT_TRUE(Has(output, "cannot start")) << output;
}

TEST(HostTool, UsageErrorsNameTheOptionOrWordAndStartNoBroker) {
  struct Case {
    const wchar_t* options;
    std::vector<std::wstring> lines;
    const char* message;
  };
  const Case cases[] = {
      {L"--timeout abc", {L"ping"}, "--timeout: 'abc' is not a number of milliseconds"},
      {L"--timeout 0x10", {L"ping"}, "--timeout: '0x10' is not a number of milliseconds"},
      {L"--host-pid -5", {L"ping"}, "--host-pid: '-5' is not a process id"},
      {L"--quiet-ms 4294967296", {L"ping"}, "--quiet-ms: '4294967296' is not a number of milliseconds"},
      {L"--handle-bits 16", {L"ping"}, "--handle-bits: '16' is neither 32 nor 64"},
      {L"--frobnicate", {L"ping"}, "--frobnicate is not an option"},
      {L"--pipe \"\"", {L"ping"}, "--pipe: '' is not a pipe name"},
      {L"--pipe a\\b", {L"ping"}, "--pipe: 'a\\b' is not a pipe name"},
      {L"--script", {}, "--script needs a value"},
      {L"--script Z:\\no\\such\\script.txt", {}, "--script: cannot read"},
      {L"", {L"write-dword hkcu software\\tarnvel\\x n abc"}, "write-dword: 'abc' is not a decimal number of 32 bits"},
      {L"", {L"write-dword hkcu software\\tarnvel\\x n 0x10"}, "'0x10' is not a decimal number of 32 bits"},
      {L"", {L"write-dword hkcu software\\tarnvel\\x n 4294967296"}, "'4294967296' is not a decimal"},
      {L"", {L"write-dword hkcu software\\tarnvel\\x n -2147483649"}, "'-2147483649' is not a decimal"},
      {L"", {L"write-dword hkcu software\\tarnvel\\x n ''"}, "'' is not a decimal"},
      {L"", {L"write-qword hkcu software\\tarnvel\\x n 18446744073709551616"}, "is not a decimal number of 64 bits"},
      {L"", {L"write-qword hkcu software\\tarnvel\\x n 12abc"}, "'12abc' is not a decimal number of 64 bits"},
  };
  for (const Case& c : cases) {
    ToolRun run = RunTool(c.options, c.lines);
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_TRUE(Has(run.output, c.message));
    EXPECT_FALSE(Has(run.output, " started, pid "));
  }
}

TEST(HostTool, ExitStatusSaysWhetherEveryRequestSucceeded) {
  const std::wstring key = L"'" + Key() + L"'";
  // The limits of both widths are accepted, signed or unsigned; words and hives in any case.
  ToolRun ok = RunTool(
      L"", {L"PING", L"Write-Dword HKCU " + key + L" n 4294967295", L"write-dword hkcu " + key + L" m -2147483648",
            L"WRITE-QWORD Hkcu " + key + L" q 18446744073709551615", L"read-qword hkcu " + key + L" q",
            L"delete-tree hkcu " + key});
  SCOPED_TRACE(ok.output);
  EXPECT_EQ(ok.exitCode, 0u);
  EXPECT_TRUE(Has(ok.output, "> PING\n  reply: 0 Success \"pong\"\n"));
  EXPECT_TRUE(Has(ok.output, " q\n  reply: 0 Success \"18446744073709551615\"\n"));

  ToolRun notFound = RunTool(L"", {L"ping", L"read-string hkcu " + key + L" missing", L"ping"});
  SCOPED_TRACE(notFound.output);
  EXPECT_EQ(notFound.exitCode, 1u);
  // A failed reply does not stop the session.
  EXPECT_NE(notFound.output.find("> ping"), notFound.output.rfind("> ping"));
  EXPECT_TRUE(Has(notFound.output, " missing\n  reply: 1 NotFound \"\"\n"));
}

TEST(HostTool, VersionIsPrinted) {
  ToolRun run = RunTool(L"--version", {});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output.rfind("tarnvel-host ", 0), 0u) << run.output;
  EXPECT_TRUE(run.output.find_first_of("0123456789") != std::string::npos) << run.output;
  EXPECT_FALSE(Has(run.output, " started, pid ")) << run.output;
}

TEST(HostTool, ScriptFromStandardInputRunsEachLineAsItArrives) {
  e2e::Child tool;
  ASSERT_TRUE(tool.Start(e2e::HostExe(), L"--broker \"" + e2e::BrokerExe() + L"\" --script -", true));
  std::string line;
  ASSERT_TRUE(tool.ReadLine(e2e::StartMs, line));
  EXPECT_TRUE(Has(line, " started, pid ")) << line;
  // The reply comes while standard input is still open: the line ran on arrival.
  ASSERT_TRUE(tool.WriteLine("ping"));
  ASSERT_TRUE(tool.ReadLine(e2e::ReplyMs, line));
  EXPECT_EQ(line, "> ping");
  ASSERT_TRUE(tool.ReadLine(e2e::ReplyMs, line));
  EXPECT_EQ(line, "  reply: 0 Success \"pong\"");
  ASSERT_TRUE(tool.WriteLine("# a comment, then a bad line"));
  ASSERT_TRUE(tool.WriteLine("frobnicate"));
  std::string rest = tool.ReadAll(e2e::StartMs);
  DWORD code = 99;
  ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 2u) << rest;
  EXPECT_TRUE(Has(rest, "standard input line 3: unknown word 'frobnicate'")) << rest;
  EXPECT_TRUE(Has(rest, "broker exit code: 0\n")) << rest;
}

TEST(HostTool, PipeNameInUseIsNamedAsTheCause) {
  e2e::Broker first;
  ASSERT_TRUE(first.StartAndConnect());
  ToolRun run = RunTool(L"--pipe " + first.pipeName, {L"ping"});
  SCOPED_TRACE(run.output);
  EXPECT_EQ(run.exitCode, 3u);
  const std::string name(first.pipeName.begin(), first.pipeName.end());
  EXPECT_TRUE(Has(run.output, "before accepting; the pipe name " + name + " is already in use\n"));
  EXPECT_EQ(first.CloseAndExitCode(), 0);
}

}  // namespace
