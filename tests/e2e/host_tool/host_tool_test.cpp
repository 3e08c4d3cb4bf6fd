// tarnvel-host.exe as a person uses it: a session in words, the printed replies, the
// broker's debugger lines beside them, and the exit code.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

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

std::wstring Key() {
  return L"software\\tarnvel\\" + tarnvel_host::MakeUniquePipeName(L"e2e-tool");
}

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
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Has(run.output, "> ping\n  reply: 0 Success \"pong\"\n"));
  EXPECT_TRUE(Has(run.output, "greeting\n  reply: 0 Success \"hello world\"\n"));
  EXPECT_TRUE(Has(run.output, "count\n  reply: 0 Success \"4294967295\"\n"));
  // The registry's enumeration order differs between systems: each pair on its own line.
  EXPECT_TRUE(Has(run.output, "  reply: 0 Success, 2 values\n"));
  EXPECT_TRUE(Has(run.output, "\n    \"count\" = \"\"\n"));
  EXPECT_TRUE(Has(run.output, "\n    \"greeting\" = \"hello world\"\n"));
  EXPECT_TRUE(Has(run.output,
                  " x y\n  debugger: [TarnvelBroker] denied: write to read-only hive\n  reply: 2 Denied \"\"\n"));
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
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Has(run.output, "  message 7: i2:0 s:\"pong\"\n"));
  EXPECT_TRUE(Has(run.output, "> op 0 5 'software\\tarnvel\\x'\n  debugger: [TarnvelBroker] denied: unknown hive\n"
                              "  reply: 2 Denied \"\"\n"));
  EXPECT_TRUE(Has(run.output, "> op 0 0 software/tarnvel/x\n  reply: 4 BadArgument \"\"\n"));
}

TEST(HostTool, ReplyToRawBytesThatExpectNoneIsReported) {
  std::vector<uint8_t> ping = tarnvel_host::HostConnection::EncodeRequest(11, 0, e2e::T(""), e2e::T(""), e2e::T(""));
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
  EXPECT_EQ(run.exitCode, 1u);
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
  EXPECT_EQ(run.exitCode, 1u);
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
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.output, "cannot connect to the broker pipe"));
  EXPECT_TRUE(Has(run.output, "broker exit code: 1\n"));
  EXPECT_FALSE(Has(run.output, "> ping"));
}

TEST(HostTool, WithoutBrokerOptionTheBuiltBrokerIsFound) {
  e2e::Child tool;
  ASSERT_TRUE(tool.Start(e2e::HostExe(), L"ping", true));
  std::string output = tool.ReadAll(30000);
  DWORD code = 99;
  ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 0u) << output;
  // The broker of the tool's own architecture.
  const char* expected = sizeof(void*) == 8 ? "\\dist\\x64\\TarnvelBroker.exe started" : "\\dist\\x86\\TarnvelBroker.exe started";
  EXPECT_TRUE(Has(output, expected)) << output;
  EXPECT_TRUE(Has(output, "  reply: 0 Success \"pong\"\n")) << output;
}

TEST(HostTool, BrokerThatCannotStartIsReported) {
  e2e::Child tool;
  ASSERT_TRUE(tool.Start(e2e::HostExe(), L"--broker Z:\\no\\such\\TarnvelBroker.exe ping", true));
  std::string output = tool.ReadAll(e2e::StartMs);
  DWORD code = 0;
  ASSERT_TRUE(tool.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 2u);
  EXPECT_TRUE(Has(output, "cannot start")) << output;
}

}  // namespace
