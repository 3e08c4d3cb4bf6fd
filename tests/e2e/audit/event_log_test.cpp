// SPDX-License-Identifier: Apache-2.0
// The broker's event-log records as Wine's event log shows them: its stub prints each
// record's event type and ID on the advapi channel and each insertion string on the eventlog
// channel, on the broker's standard error. And the broker's own message table, formatted as
// Event Viewer would. (Wine cannot read a record back.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audit/event_ids.h"
#include "e2e/e2e_support.h"

using namespace tarnvel::host;
using tarnvel::audit::EventId;
using tarnvel::protocol::Code;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

// A broker started through a shell (and, for x86, under emulation) on a loaded machine may take
// long to start and to end; the waits end as soon as it has.
constexpr DWORD kShellStartMs = 30000;

const wchar_t kPolicyKey[] = L"Software\\Policies\\Tarnvel\\Broker";

// A DWORD policy value under the user's policy key for the test's span.
class UserPolicy {
 public:
  UserPolicy(const wchar_t* name, DWORD value) : name_(name) {
    EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kPolicyKey, name, REG_DWORD, &value, sizeof value), ERROR_SUCCESS);
  }
  ~UserPolicy() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kPolicyKey, name_); }
  UserPolicy(const UserPolicy&) = delete;
  UserPolicy& operator=(const UserPolicy&) = delete;

 private:
  const wchar_t* name_;
};

struct Record {
  unsigned type = 0, id = 0;
  std::vector<std::string> strings;
};

// The text inside L"..." as Wine's debug output escapes it, back to UTF-8 (ASCII here).
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
  }
  return out;
}

// Each "fixme:advapi:ReportEventW (source,type,category,id,...)" line opens a record; the
// "eventlog:ReportEventW L"..."" lines after it are its strings.
std::vector<Record> RecordsIn(const std::string& output) {
  std::vector<Record> records;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t call = line.find(":advapi:ReportEventW (");
    if (call != std::string::npos) {
      Record r;
      if (std::sscanf(line.c_str() + call + 22, "%*[^,],0x%x,0x%*x,0x%x", &r.type, &r.id) == 2) {
        records.push_back(r);
      }
      continue;
    }
    const size_t text = line.find(":eventlog:ReportEventW L\"");
    if (text != std::string::npos && !records.empty() && line.back() == '"') {
      const size_t from = text + 25;
      records.back().strings.push_back(Unescape(line.substr(from, line.size() - 1 - from)));
    }
  }
  return records;
}

// A broker started with Wine's event-log channels on. Wine writes its debug channels to the
// Unix standard error it inherited, never to a redirected handle: so a Unix shell starts the
// broker with its standard error in a file of the build tree, and notes its exit there.
class TracedBroker {
 public:
  TracedBroker() {
    const std::string name(pipeName_.begin(), pipeName_.end());
    logUnix_ = std::string(TARNVEL_TEST_PROGRAMS_DIR) + "/" + name + ".log";
    log_ = WinePathFromUnix(logUnix_);
  }
  ~TracedBroker() { DeleteFileW(log_.c_str()); }
  TracedBroker(const TracedBroker&) = delete;
  TracedBroker& operator=(const TracedBroker&) = delete;

  bool Start() {
    wchar_t old[256] = L"";
    const bool had = GetEnvironmentVariableW(L"WINEDEBUG", old, 256) > 0;
    SetEnvironmentVariableW(L"WINEDEBUG", L"-all,fixme+advapi,+eventlog");
    const std::wstring args = L"-c \"wine \\\"$0\\\" --ipc=" + pipeName_ + L" --proc=" +
                              std::to_wstring(GetCurrentProcessId()) + L" 2>\\\"$1\\\"; echo " + kExited +
                              L" $? >>\\\"$1\\\"\" \"" + e2e::BrokerExe() + L"\" \"" +
                              std::wstring(logUnix_.begin(), logUnix_.end()) + L"\"";
    const bool started = shell_.Start(L"Z:\\bin\\sh", args, false);
    SetEnvironmentVariableW(L"WINEDEBUG", had ? old : nullptr);
    return started && conn_.Connect(pipeName_, kShellStartMs);
  }

  // Message 3 for this process: the error of reply 4.
  int32_t PluginPipe() {
    PluginPipeReply reply;
    return conn_.RequestPluginPipe(GetCurrentProcessId(), e2e::ReplyMs, reply) == CallResult::Ok ? reply.error : -1;
  }

  RequestStatus Request(RequestOp op, int32_t hive, const Text& a, const Text& b) {
    Reply reply;
    if (e2e::Request(conn_, op, hive, a, b, u"", e2e::ReplyMs, reply) != CallResult::Ok) return RequestStatus::Failed;
    return static_cast<RequestStatus>(reply.status);
  }

  // Everything the broker wrote on its standard error, once the host's end closed and the
  // broker exited with 0.
  std::string Finish() {
    conn_.Close();
    const std::string exited = std::string(kExitedNarrow) + " 0";
    const ULONGLONG deadline = GetTickCount64() + kShellStartMs;
    std::string text;
    do {
      Sleep(50);
      text = ReadLog();
    } while (text.find(kExitedNarrow) == std::string::npos && GetTickCount64() < deadline);
    EXPECT_NE(text.find(exited), std::string::npos) << text;
    return text;
  }

 private:
  static constexpr const wchar_t* kExited = L"broker-exited";
  static constexpr const char* kExitedNarrow = "broker-exited";

  std::string ReadLog() const {
    const UniqueHandle file(CreateFileW(log_.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    std::string text;
    if (!file) return text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(file.get(), buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    return text;
  }

  std::wstring pipeName_ = MakeUniquePipeName(L"tarnvel-audit");
  std::string logUnix_;
  std::wstring log_;
  e2e::Child shell_;
  HostConnection conn_;
};

// Wine's event log prints what it is given; Windows keeps it, and has no Unix shell.
#define SKIP_WITHOUT_WINE_TRACE()                                                          \
  if (GetFileAttributesW(L"Z:\\bin\\sh") == INVALID_FILE_ATTRIBUTES) {                     \
    GTEST_SKIP() << "the records are read from Wine's event-log channel, under Wine only"; \
  }

constexpr unsigned kWarning = EVENTLOG_WARNING_TYPE;

// Which ID and fields each refusal gets is tabled at the dispatcher; here records cross the
// real writer: a plain one, and one whose target must arrive escaped.
TEST(EventLog, EachRefusalIsOneRecordWithItsIdAndFields) {
  SKIP_WITHOUT_WINE_TRACE();
  const UserPolicy audit(L"Audit", 1);
  struct Case {
    RequestOp op;
    int32_t hive;
    Text a, b;
    EventId id;
    std::vector<std::string> strings;  // op, rule, target (the host's pid is added)
  } cases[] = {
      {RequestOp::ReadString,
       0,
       u"software\\other",
       u"v",
       EventId::RefusedOutsideSubtree,
       {"read-string", "denied: outside Tarnvel subtree", "software\\other"}},
      {RequestOp::ShellOpen,
       0,
       u"https://h/\"%1\n%%1",
       u"",
       EventId::RefusedMalformedKey,
       {"shell-open", "denied: malformed key", "https://h/\"%251%0A%25%251"}},
  };
  TracedBroker broker;
  ASSERT_TRUE(broker.Start());
  for (const Case& c : cases) EXPECT_EQ(broker.Request(c.op, c.hive, c.a, c.b), RequestStatus::Denied);
  EXPECT_EQ(broker.Request(RequestOp::Ping, 0, u"", u""), RequestStatus::Success);
  const std::string output = broker.Finish();

  const std::vector<Record> records = RecordsIn(output);
  ASSERT_EQ(records.size(), sizeof cases / sizeof cases[0]) << output;
  const std::string pid = std::to_string(GetCurrentProcessId());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(cases[i].strings[0]);
    EXPECT_EQ(records[i].id, Code(cases[i].id));
    EXPECT_EQ(records[i].type, kWarning);
    std::vector<std::string> strings = cases[i].strings;
    strings.push_back(pid);
    EXPECT_EQ(records[i].strings, strings);
  }
}

// Refusals by policy under their own IDs, plug-in pipes (message 3) included; in audit-only
// mode the same requests go on, with "would refuse" records (information).
TEST(EventLog, PolicyRefusalsAndWhatAuditOnlyWouldRefuse) {
  SKIP_WITHOUT_WINE_TRACE();
  const Text key = u"software\\tarnvel\\audit-e2e";
  const std::string pid = std::to_string(GetCurrentProcessId());
  const UserPolicy writes(L"AllowRegistryWrites", 0);
  const UserPolicy pipes(L"AllowPluginPipes", 0);
  struct Mode {
    const wchar_t* value;
    RequestStatus status;
    int32_t pipeError;
    unsigned type;
    EventId writeId, pipeId;
  } modes[] = {
      {L"Audit", RequestStatus::Denied, ERROR_ACCESS_DENIED, kWarning, EventId::RefusedByAllowRegistryWrites,
       EventId::RefusedByAllowPluginPipes},
      {L"AuditOnly", RequestStatus::Success, 0, EVENTLOG_INFORMATION_TYPE, EventId::WouldRefuseByAllowRegistryWrites,
       EventId::WouldRefuseByAllowPluginPipes},
  };
  for (const Mode& m : modes) {
    SCOPED_TRACE(std::string(m.value, m.value + wcslen(m.value)));
    const UserPolicy mode(m.value, 1);
    TracedBroker broker;
    ASSERT_TRUE(broker.Start());
    EXPECT_EQ(broker.Request(RequestOp::WriteString, 0, key, u"v"), m.status);
    EXPECT_EQ(broker.PluginPipe(), m.pipeError);
    const std::vector<Record> records = RecordsIn(broker.Finish());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id, Code(m.writeId));
    EXPECT_EQ(records[0].type, m.type);
    EXPECT_EQ(records[0].strings,
              (std::vector<std::string>{"write-string", "registry write denied by policy AllowRegistryWrites",
                                        "software\\tarnvel\\audit-e2e", pid}));
    EXPECT_EQ(records[1].id, Code(m.pipeId));
    EXPECT_EQ(records[1].type, m.type);
    EXPECT_EQ(records[1].strings,
              (std::vector<std::string>{"plugin-pipe", "plug-in pipe denied by policy AllowPluginPipes", pid, pid}));
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tarnvel\\audit-e2e");
}

TEST(EventLog, WithAuditOffNoSourceIsOpened) {
  SKIP_WITHOUT_WINE_TRACE();
  TracedBroker broker;
  ASSERT_TRUE(broker.Start());
  EXPECT_EQ(broker.Request(RequestOp::ReadString, 0, u"software\\other", u"v"), RequestStatus::Denied);
  const std::string output = broker.Finish();
  EXPECT_EQ(output.find("RegisterEventSource"), std::string::npos) << output;
  EXPECT_EQ(output.find("ReportEvent"), std::string::npos) << output;
}

// Every ID the broker writes has its text in the broker's message table, with the four
// inserts in their places.
TEST(EventLog, TheMessageTableHoldsEveryEventWithItsInserts) {
  const std::wstring exe = e2e::BrokerExe();
  const HMODULE module =
      LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << GetLastError();
  DWORD_PTR inserts[4] = {reinterpret_cast<DWORD_PTR>(L"read-string"),
                          reinterpret_cast<DWORD_PTR>(L"denied: malformed key"),
                          reinterpret_cast<DWORD_PTR>(L"software\\x"), reinterpret_cast<DWORD_PTR>(L"4242")};
  for (const tarnvel::audit::EventInfo& event : tarnvel::audit::kEvents) {
    SCOPED_TRACE(event.name);
    wchar_t text[1024] = L"";
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, Code(event.id),
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 1024, reinterpret_cast<va_list*>(inserts));
    ASSERT_GT(n, 0u) << GetLastError();
    const std::wstring message(text, n);
    EXPECT_EQ(message.rfind(L"TarnvelBroker ", 0), 0u);
    for (const wchar_t* field :
         {L"Op: read-string", L"Rule: denied: malformed key", L"Target: software\\x", L"Host process id: 4242"}) {
      EXPECT_NE(message.find(field), std::wstring::npos) << field;
    }
  }
  FreeLibrary(module);
}

}  // namespace
