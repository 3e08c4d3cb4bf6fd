// SPDX-License-Identifier: Apache-2.0
// The dispatcher's order of decisions over recording operations: for every op code, which
// operation runs on which texts after which judgement, and what is refused with which line.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "policy/admin_policy.h"
#include "requests/dispatcher.h"
#include "support/debug_capture.h"
#include "support/recording_operations.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

const Text kKey = u"Software\\Tarnvel\\x";
const Text kPath = u"C:\\Users\\u\\AppData\\Roaming\\tarnvel\\f.bin";

struct Outcome {
  RequestStatus status;
  Text reply;
  std::vector<RecordedCall> calls;
  std::vector<std::string> lines;
  std::vector<tarnvel::audit::AuditRecord> records;  // with auditing on
};

struct RecordingSink final : tarnvel::audit::AuditSink {
  void Write(const tarnvel::audit::AuditRecord& record) override { records.push_back(record); }
  std::vector<tarnvel::audit::AuditRecord> records;
};

Outcome Dispatch(RecordingOperations& ops, int32_t op, int32_t hive, const Text& a, const Text& b = u"v",
                 const Text& c = u"7") {
  DebugCapture capture;
  Outcome o{RequestStatus::Failed, u"", {}, {}, {}};
  ipc::ReplyBody reply;
  reply.text = u"stale";
  const RequestInputs in{op, hive, a, b, c, std::nullopt};
  RecordingSink sink;
  o.status = DispatchRequest(ops, in, reply, &sink);
  o.records = sink.records;
  EXPECT_FALSE(reply.source) << "only the system's file read answers with a source";
  o.reply = reply.text;
  o.calls = ops.calls;
  o.lines = capture.Lines();
  return o;
}

// With auditing on, so that every refusal is seen to be recorded and nothing else is.
Outcome Dispatch(int32_t op, int32_t hive, const Text& a, const Text& b = u"v", const Text& c = u"7") {
  RecordingOperations ops;
  ops.adminPolicy =
      std::make_shared<EffectivePolicy>(MakeEffectivePolicy({RawPolicyValue{u"Audit", RegDword, {1, 0, 0, 0}}}, {}));
  return Dispatch(ops, op, hive, a, b, c);
}

const Text kTemp = u"C:\\Users\\u\\AppData\\Local\\Temp";

TEST(Dispatcher, EveryOpCodeReachesItsOperationWithTheJudgedTexts) {
  struct Case {
    int32_t op;
    Text a, b;
    const char* call;  // null: no operation runs
    RequestStatus status;
    Text reply;
  } cases[] = {
      {1, kKey, u"v", "ReadString", RequestStatus::Success, u"value"},
      {2, kKey, u"v", "WriteString", RequestStatus::Success, u""},
      {3, kKey, u"v", "ReadDword", RequestStatus::Success, u"4294967295"},
      {4, kKey, u"v", "WriteDword", RequestStatus::Success, u""},
      {5, kKey, u"v", "DeleteValue", RequestStatus::Success, u""},
      {6, kKey, u"v", "DeleteKey", RequestStatus::Success, u""},
      {7, kKey, u"v", "DeleteKeyTree", RequestStatus::Success, u""},
      {8, kKey, u"v", "KeyExists", RequestStatus::Success, u""},
      {9, kKey, u"v", "ListSubkeys", RequestStatus::Success, Text(u"x\0yz\0", 5)},
      {10, kKey, u"v", "ListValues", RequestStatus::Success, Text(u"n\0d\0", 4)},
      {11, u"..", u"v", nullptr, RequestStatus::Success, u"pong"},
      {12, kKey, u"v", "ReadQword", RequestStatus::Success, u"18446744073709551615"},
      {13, kKey, u"v", "WriteQword", RequestStatus::Success, u""},
      {14, kPath, u"v", "ReadDataFile", RequestStatus::Success, u"00ff"},
      {15, kPath, u"v", "WriteDataFile", RequestStatus::BadArgument, u""},  // "7" is no hex text
      {16, kPath, u"v", "DataFileExists", RequestStatus::Success, u""},
      {17, kPath, u"v", "DeleteDataFile", RequestStatus::Success, u""},
      {18, u"https://host/", u"v", "ShellOpen", RequestStatus::Success, u""},
      {19, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {20, kKey, u"tarnvel\\copy", "CopyKeyTree", RequestStatus::Success, u""},
      {21, u"D:\\a.png", kTemp + u"\\b.png", "CopyFileIn", RequestStatus::Success, u""},
      {22, kTemp + u"\\a.pdf", u"E:\\o\\a.pdf", "ExportFile", RequestStatus::Success, u""},
      {23, u"http://127.0.0.1:1/", u"v", "StartHttpCheck", RequestStatus::Success, u"4294967295"},
      {24, u"7", u"v", "PollHttpCheck", RequestStatus::Success, u"pending"},
      {0, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {-1, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {INT_MIN, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {25, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {26, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
      {INT_MAX, kKey, u"v", nullptr, RequestStatus::BadArgument, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    const Outcome o = Dispatch(c.op, 0, c.a, c.b);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reply, c.reply);
    EXPECT_TRUE(o.lines.empty());
    EXPECT_TRUE(o.records.empty()) << "only a refusal is recorded";
    if (c.call == nullptr || c.status == RequestStatus::BadArgument) {
      EXPECT_TRUE(o.calls.empty());
      continue;
    }
    ASSERT_EQ(o.calls.size(), 1u);
    EXPECT_EQ(o.calls[0].name, c.call);
    ASSERT_FALSE(o.calls[0].texts.empty());
    // The poll's operation gets the id's number, every other one text A exactly as carried.
    EXPECT_EQ(o.calls[0].texts[0], c.op == 24 ? Text(1, u'\x7') : c.a);
    if (c.op == 14) EXPECT_EQ(o.calls[0].texts[1], u"4194304") << "a read brings back at most 4 MiB";
  }
  // Every capability switched off by administrator policy: an op it governs runs nothing and
  // is refused with the policy's line; in audit-only mode, and for every other op, nothing changes.
  std::vector<RawPolicyValue> allOff;
  for (const AdminPolicyRow& row : kAdminPolicies) {
    if (row.kind == AdminValueKind::Switch && row.activeWhen == 0)
      allOff.push_back({AsciiText(row.name), RegDword, {0, 0, 0, 0}});
  }
  std::vector<RawPolicyValue> auditOnly = allOff;
  auditOnly.push_back({u"AuditOnly", RegDword, {1, 0, 0, 0}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    for (const auto* values : {&allOff, &auditOnly}) {
      RecordingOperations ops;
      ops.adminPolicy = std::make_shared<const EffectivePolicy>(MakeEffectivePolicy(*values, {}));
      const Outcome o = Dispatch(ops, c.op, 0, c.a, c.b);
      const std::optional<AdminPolicyId> governing = CapabilityOfOp(c.op);
      // Audit is off: only audit-only mode records, and only what a policy would refuse.
      EXPECT_EQ(o.records.size(), governing && values == &auditOnly ? 1u : 0u);
      if (!governing || values == &auditOnly) {
        EXPECT_EQ(o.status, c.status);
        EXPECT_TRUE(o.lines.empty());
        continue;
      }
      EXPECT_EQ(o.status, RequestStatus::Denied);
      EXPECT_TRUE(o.calls.empty());
      EXPECT_EQ(o.lines, std::vector<std::string>{std::string("[TarnvelBroker] ") +
                                                  AdminPolicyRowOf(*governing).refusal + "\n"});
    }
  }
}

// The four acts outside the registry and the data folder are judged here too, each with its
// own line, and refused before anything runs.
TEST(Dispatcher, ShellCopiesAndUrlChecksAreRefusedWithTheirLines) {
  struct Case {
    const char* what;
    int32_t op;
    Text a, b;
    RequestStatus status;
    std::vector<std::string> lines;
  } cases[] = {
      {"shell: another scheme",
       18,
       u"shell:startup\\a.pdf",
       u"",
       RequestStatus::Denied,
       {"[TarnvelBroker] shell open denied: outside Tarnvel subtree\n"}},
      {"shell: a quote in a web address",
       18,
       u"https://h/\"x",
       u"",
       RequestStatus::Denied,
       {"[TarnvelBroker] shell open denied: malformed key\n"}},
      {"copy-in: destination outside the temporary folder",
       21,
       u"D:\\a.png",
       u"C:\\b.png",
       RequestStatus::Denied,
       {"[TarnvelBroker] file copy denied: outside Tarnvel subtree\n"}},
      {"copy-in: a pipe as source",
       21,
       u"\\\\.\\pipe\\x.pdf",
       kTemp + u"\\b.pdf",
       RequestStatus::Denied,
       {"[TarnvelBroker] file copy denied: malformed key\n"}},
      {"export: source outside the temporary folder",
       22,
       u"E:\\a.pdf",
       u"E:\\o\\a.pdf",
       RequestStatus::Denied,
       {"[TarnvelBroker] file export denied: outside Tarnvel subtree\n"}},
      {"export: another extension",
       22,
       kTemp + u"\\a.pdf",
       u"E:\\o\\a.exe",
       RequestStatus::Denied,
       {"[TarnvelBroker] file export denied: outside Tarnvel subtree\n"}},
      {"url: credentials",
       23,
       u"http://user@host/",
       u"",
       RequestStatus::Denied,
       {"[TarnvelBroker] http check denied: malformed key\n"}},
      {"url: ftp",
       23,
       u"ftp://host/",
       u"",
       RequestStatus::Denied,
       {"[TarnvelBroker] http check denied: outside Tarnvel subtree\n"}},
      {"poll: not a number", 24, u"7x", u"", RequestStatus::BadArgument, {}},
      {"poll: eleven digits", 24, u"00000000001", u"", RequestStatus::BadArgument, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = Dispatch(c.op, 0, c.a, c.b);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reply, u"");
    EXPECT_TRUE(o.calls.empty());
    EXPECT_EQ(o.lines, c.lines);
  }
}

// What an operation reports becomes a status (and a line) here alone.
TEST(Dispatcher, OperationOutcomesBecomeStatusesAndLines) {
  struct CopyCase {
    OpOutcome outcome;
    RequestStatus status;
    const char* line;  // after "[TarnvelBroker] file copy " / "file export "
  } copies[] = {
      {{}, RequestStatus::Success, nullptr},
      {{ErrorFileNotFound, OpStep::Open}, RequestStatus::NotFound, nullptr},
      {{ErrorFileNotFound, OpStep::Act}, RequestStatus::Failed, nullptr},
      {{ErrorAccessDenied, OpStep::Act}, RequestStatus::Failed, nullptr},
      {NamedOutcome(OpNamed::NotAtJudgedPath), RequestStatus::Denied, "denied: outside Tarnvel subtree\n"},
  };
  for (const CopyCase& c : copies) {
    for (const bool in : {true, false}) {
      SCOPED_TRACE(c.outcome.error * 2 + (in ? 1 : 0));
      RecordingOperations ops;
      ops.outcome = c.outcome;
      const Outcome o = in ? Dispatch(ops, 21, 0, u"D:\\a.png", kTemp + u"\\b.png")
                           : Dispatch(ops, 22, 0, kTemp + u"\\a.pdf", u"E:\\o\\a.pdf");
      EXPECT_EQ(o.status, c.status);
      EXPECT_EQ(o.calls.size(), 1u);
      std::vector<std::string> lines;
      if (c.line != nullptr)
        lines.push_back(std::string("[TarnvelBroker] file ") + (in ? "copy " : "export ") + c.line);
      EXPECT_EQ(o.lines, lines);
    }
  }

  RecordingOperations full;
  full.outcome = NamedOutcome(OpNamed::TooMany);
  Outcome o = Dispatch(full, 23, 0, u"https://host/");
  EXPECT_EQ(o.status, RequestStatus::Failed);
  EXPECT_EQ(o.reply, u"");
  EXPECT_EQ(o.lines, std::vector<std::string>{"[TarnvelBroker] http check refused: too many outstanding\n"});
  RecordingOperations refused;
  refused.outcome = OpOutcome{ErrorNotEnoughMemory, OpStep::Act};
  o = Dispatch(refused, 23, 0, u"https://host/");
  EXPECT_EQ(o.status, RequestStatus::Failed);
  EXPECT_TRUE(o.lines.empty());
}

// The operations' Win32 errors, mapped as the broker always answered them: a missing value or
// file is deleted, a key that cannot be opened to delete a value is a failure; reads find
// nothing, acts fail.
TEST(Dispatcher, OperationErrorsMapToStatusesInOnePlace) {
  const OpOutcome openMissing{ErrorFileNotFound, OpStep::Open};
  const OpOutcome actMissing{ErrorFileNotFound, OpStep::Act};
  const OpOutcome denied{ErrorAccessDenied, OpStep::Act};
  struct Case {
    int32_t op;
    OpOutcome result;
    RequestStatus status;
  } cases[] = {
      {1, openMissing, RequestStatus::NotFound},
      {1, {ErrorUnsupportedType}, RequestStatus::NotFound},
      {3, denied, RequestStatus::NotFound},
      {8, openMissing, RequestStatus::NotFound},
      {9, denied, RequestStatus::NotFound},
      {20, openMissing, RequestStatus::NotFound},
      {2, denied, RequestStatus::Failed},
      {4, openMissing, RequestStatus::Failed},
      {13, {ErrorInvalidParameter}, RequestStatus::Failed},
      {5, actMissing, RequestStatus::Success},
      {5, openMissing, RequestStatus::Failed},
      {5, denied, RequestStatus::Failed},
      {6, actMissing, RequestStatus::Success},
      {6, denied, RequestStatus::Failed},
      {7, openMissing, RequestStatus::Success},
      {7, actMissing, RequestStatus::Failed},
      {7, denied, RequestStatus::Failed},
      {14, {ErrorFileTooLarge, OpStep::Open}, RequestStatus::NotFound},
      {15, denied, RequestStatus::Failed},
      {16, openMissing, RequestStatus::NotFound},
      {17, actMissing, RequestStatus::Success},
      {17, {3, OpStep::Act}, RequestStatus::Failed},  // ERROR_PATH_NOT_FOUND
      {18, {2, OpStep::Act}, RequestStatus::Failed},
      {24, {ErrorNotFound, OpStep::Open}, RequestStatus::NotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    RecordingOperations ops;
    ops.outcome = c.result;
    const Text a = c.op == 18                 ? Text(u"https://host/")
                   : c.op == 24               ? Text(u"7")
                   : c.op >= 14 && c.op <= 17 ? kPath
                                              : kKey;
    const Outcome o = Dispatch(ops, c.op, 0, a, c.op == 20 ? Text(u"tarnvel\\copy") : Text(u"v"), u"00");
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reply, u"") << "a failed read carries no text";
    EXPECT_TRUE(o.lines.empty());
  }
}

// A data-file write is checked whole before anything is written; the folders and the long
// path are asked for once, and the act gets the expanded text that was judged.
TEST(Dispatcher, WritesAndCopiesUseWhatWasJudged) {
  RecordingOperations ops;
  EXPECT_EQ(Dispatch(ops, 15, 0, kPath, u"", u"00fF").status, RequestStatus::Success);
  ASSERT_EQ(ops.calls.size(), 1u);
  EXPECT_EQ(ops.calls[0].texts, (std::vector<Text>{kPath, u"00ff"}));  // the bytes 00 ff
  for (const Text& bad : {Text(u"0"), Text(u"0g"), Text(u"00 ")}) {
    EXPECT_EQ(Dispatch(15, 0, kPath, u"", bad).status, RequestStatus::BadArgument);
  }
  // The data folder's own first level (R\tarnvel) is no file to write.
  const Outcome folder = Dispatch(15, 0, u"C:\\Users\\u\\AppData\\Roaming\\Tarnvel\\", u"", u"00");
  EXPECT_EQ(folder.status, RequestStatus::Failed);
  EXPECT_TRUE(folder.calls.empty());

  RecordingOperations copy;
  copy.tempFolder = u"C:\\Program Files\\T";
  EXPECT_EQ(Dispatch(copy, 21, 0, u"D:\\a.png", u"C:\\PROGRA~1\\T\\Sub\\b.PNG").status, RequestStatus::Success);
  EXPECT_EQ(copy.expanded, std::vector<Text>{u"C:\\PROGRA~1\\T\\Sub\\b.PNG"});
  ASSERT_EQ(copy.calls.size(), 1u);
  EXPECT_EQ(copy.calls[0].texts, (std::vector<Text>{u"D:\\a.png", u"C:\\Program Files\\T\\Sub\\b.PNG",
                                                    u"C:\\Program Files\\T", u"\\sub\\b.png"}));
}

// Each refusal is also one audit record: its ID by verdict, the op's word, the verdict's text
// (even where the line names none) and the judged text(s).
TEST(Dispatcher, RefusalsRunNothingAndWriteOneLineAndOneRecord) {
  using tarnvel::audit::EventId;
  struct Case {
    const char* what;
    int32_t op, hive;
    Text a, b;
    std::string line;
    EventId id;
    Text rule, op_, target;
  } cases[] = {
      {"write to the read-only hive", 2, 1, kKey, u"v", "[TarnvelBroker] denied: write to read-only hive\n",
       EventId::RefusedWriteToReadOnlyHive, u"denied: write to read-only hive", u"write-string", kKey},
      {"delete in the read-only hive", 7, 1, kKey, u"", "[TarnvelBroker] denied: write to read-only hive\n",
       EventId::RefusedWriteToReadOnlyHive, u"denied: write to read-only hive", u"delete-tree", kKey},
      {"unknown hive", 1, 2, kKey, u"v", "[TarnvelBroker] denied: unknown hive\n", EventId::RefusedUnknownHive,
       u"denied: unknown hive", u"read-string", kKey},
      {"key outside the subtree", 1, 0, u"software\\other", u"v", "[TarnvelBroker] denied: outside Tarnvel subtree\n",
       EventId::RefusedOutsideSubtree, u"denied: outside Tarnvel subtree", u"read-string", u"software\\other"},
      {"unknown op judged as a read", 0, 0, u"", u"", "[TarnvelBroker] denied: malformed key\n",
       EventId::RefusedMalformedKey, u"denied: malformed key", u"op 0", u""},
      {"op 19 judged as a read", 19, 5, kKey, u"", "[TarnvelBroker] denied: unknown hive\n",
       EventId::RefusedUnknownHive, u"denied: unknown hive", u"op 19", kKey},
      {"data file outside its folder", 14, 0, u"C:\\Users\\u\\AppData\\Roaming\\other\\f", u"",
       "[TarnvelBroker] denied: outside Tarnvel subtree\n", EventId::RefusedOutsideSubtree,
       u"denied: outside Tarnvel subtree", u"read-file", u"C:\\Users\\u\\AppData\\Roaming\\other\\f"},
      {"data file climbing out", 15, 0, kPath + u"\\..\\..\\x", u"", "[TarnvelBroker] denied: malformed key\n",
       EventId::RefusedMalformedKey, u"denied: malformed key", u"write-file", kPath + u"\\..\\..\\x"},
      {"data file judged by path, not hive", 16, 1, u"software\\tarnvel", u"",
       "[TarnvelBroker] denied: outside Tarnvel subtree\n", EventId::RefusedOutsideSubtree,
       u"denied: outside Tarnvel subtree", u"file-exists", u"software\\tarnvel"},
      {"copy tree from outside", 20, 0, u"software\\other", u"software\\tarnvel\\y",
       "[TarnvelBroker] copy tree denied\n", EventId::RefusedOutsideSubtree, u"denied: outside Tarnvel subtree",
       u"copy-tree", u"software\\other > software\\tarnvel\\y"},
      {"copy tree into the read-only hive", 20, 1, kKey, u"software\\tarnvel\\y", "[TarnvelBroker] copy tree denied\n",
       EventId::RefusedWriteToReadOnlyHive, u"denied: write to read-only hive", u"copy-tree",
       kKey + u" > software\\tarnvel\\y"},
      {"a hostile key is escaped", 1, 0, u"software\\other\n%1", u"v",
       "[TarnvelBroker] denied: outside Tarnvel subtree\n", EventId::RefusedOutsideSubtree,
       u"denied: outside Tarnvel subtree", u"read-string", u"software\\other%0A%251"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = Dispatch(c.op, c.hive, c.a, c.b);
    EXPECT_EQ(o.status, RequestStatus::Denied);
    EXPECT_EQ(o.reply, u"");
    EXPECT_TRUE(o.calls.empty());
    EXPECT_EQ(o.lines, std::vector<std::string>{c.line});
    ASSERT_EQ(o.records.size(), 1u);
    EXPECT_EQ(o.records[0].id, c.id);
    EXPECT_EQ(o.records[0].op, c.op_);
    EXPECT_EQ(o.records[0].rule, c.rule);
    EXPECT_EQ(o.records[0].target, c.target);
  }
}

// Each administrator policy the dispatcher judges, with its value: what it refuses, its line,
// and its audit record; in audit-only mode the same request goes on, with a "would refuse"
// record; with neither switch, no record.
TEST(Dispatcher, EachPolicyRefusesWithItsLineAndRecord) {
  using tarnvel::audit::EventId;
  const auto dword = [](const char* name, uint32_t v) {
    return RawPolicyValue{AsciiText(name), RegDword, {uint8_t(v), 0, 0, 0}};
  };
  const auto text = [](const char* name, const char* items) {
    RawPolicyValue v{AsciiText(name), RegSz, {}};
    for (const char* c = items; *c != '\0'; ++c) v.data.insert(v.data.end(), {uint8_t(*c), 0});
    return v;
  };
  struct Case {
    RawPolicyValue value;
    int32_t op;
    Text a, b;
    const char* line;
    EventId refused, wouldRefuse;
    Text target;
  } cases[] = {
      {dword("AllowRegistryWrites", 0), 2, kKey, u"v", "registry write denied by policy AllowRegistryWrites",
       EventId::RefusedByAllowRegistryWrites, EventId::WouldRefuseByAllowRegistryWrites, kKey},
      {dword("AllowDataFileWrites", 0), 17, kPath, u"", "data file write denied by policy AllowDataFileWrites",
       EventId::RefusedByAllowDataFileWrites, EventId::WouldRefuseByAllowDataFileWrites, kPath},
      {dword("AllowCopyIn", 0), 21, u"D:\\a.png", kTemp + u"\\b.png", "file copy denied by policy AllowCopyIn",
       EventId::RefusedByAllowCopyIn, EventId::WouldRefuseByAllowCopyIn, u"D:\\a.png > " + kTemp + u"\\b.png"},
      {dword("AllowExport", 0), 22, kTemp + u"\\a.pdf", u"E:\\o\\a.pdf", "file export denied by policy AllowExport",
       EventId::RefusedByAllowExport, EventId::WouldRefuseByAllowExport, kTemp + u"\\a.pdf > E:\\o\\a.pdf"},
      {dword("AllowShellOpen", 0), 18, u"https://h/", u"", "shell open denied by policy AllowShellOpen",
       EventId::RefusedByAllowShellOpen, EventId::WouldRefuseByAllowShellOpen, u"https://h/"},
      {dword("AllowUrlChecks", 0), 23, u"https://h/", u"", "http check denied by policy AllowUrlChecks",
       EventId::RefusedByAllowUrlChecks, EventId::WouldRefuseByAllowUrlChecks, u"https://h/"},
      {text("ShellOpenSchemes", "http"), 18, u"https://h/%1", u"", "shell open denied by policy ShellOpenSchemes",
       EventId::RefusedByShellOpenSchemes, EventId::WouldRefuseByShellOpenSchemes, u"https://h/%251"},
      {text("ShellOpenDocumentTypes", "txt"), 18, u"C:\\d\\a.pdf", u"",
       "shell open denied by policy ShellOpenDocumentTypes", EventId::RefusedByShellOpenDocumentTypes,
       EventId::WouldRefuseByShellOpenDocumentTypes, u"C:\\d\\a.pdf"},
      {text("UrlCheckHosts", "example.com"), 23, u"https://other.org/", u"",
       "http check denied by policy UrlCheckHosts", EventId::RefusedByUrlCheckHosts,
       EventId::WouldRefuseByUrlCheckHosts, u"https://other.org/"},
      {dword("UrlCheckRefuseInward", 1), 23, u"http://127.0.0.1/", u"",
       "http check denied by policy UrlCheckRefuseInward", EventId::RefusedByUrlCheckRefuseInward,
       EventId::WouldRefuseByUrlCheckRefuseInward, u"http://127.0.0.1/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    RecordingOperations ops;
    ops.adminPolicy = std::make_shared<EffectivePolicy>(MakeEffectivePolicy({c.value, dword("Audit", 1)}, {}));
    Outcome o = Dispatch(ops, c.op, 0, c.a, c.b);
    EXPECT_EQ(o.status, RequestStatus::Denied);
    EXPECT_TRUE(o.calls.empty());
    EXPECT_EQ(o.lines, std::vector<std::string>{std::string("[TarnvelBroker] ") + c.line + "\n"});
    ASSERT_EQ(o.records.size(), 1u);
    EXPECT_EQ(o.records[0].id, c.refused);
    EXPECT_EQ(o.records[0].op, tarnvel::audit::RecordOp(c.op));
    EXPECT_EQ(o.records[0].rule, AsciiText(c.line));
    EXPECT_EQ(o.records[0].target, c.target);

    RecordingOperations auditOnly;
    auditOnly.adminPolicy =
        std::make_shared<EffectivePolicy>(MakeEffectivePolicy({c.value, dword("AuditOnly", 1)}, {}));
    o = Dispatch(auditOnly, c.op, 0, c.a, c.b);
    EXPECT_EQ(o.status, RequestStatus::Success);
    EXPECT_EQ(o.calls.size(), 1u);
    EXPECT_TRUE(o.lines.empty());
    ASSERT_EQ(o.records.size(), 1u);
    EXPECT_EQ(o.records[0].id, c.wouldRefuse);
    EXPECT_EQ(o.records[0].rule, AsciiText(c.line));

    RecordingOperations silent;
    silent.adminPolicy = std::make_shared<EffectivePolicy>(MakeEffectivePolicy({c.value}, {}));
    o = Dispatch(silent, c.op, 0, c.a, c.b);
    EXPECT_EQ(o.status, RequestStatus::Denied);
    EXPECT_TRUE(o.records.empty());
  }
}

// In audit-only mode a built-in refusal still refuses, and is recorded only with Audit on.
TEST(Dispatcher, AuditOnlyLeavesBuiltInRefusalsAsTheyAre) {
  const RawPolicyValue auditOnly{u"AuditOnly", RegDword, {1, 0, 0, 0}};
  const RawPolicyValue audit{u"Audit", RegDword, {1, 0, 0, 0}};
  RecordingOperations ops;
  ops.adminPolicy = std::make_shared<EffectivePolicy>(MakeEffectivePolicy({auditOnly}, {}));
  Outcome o = Dispatch(ops, 1, 0, u"software\\other");
  EXPECT_EQ(o.status, RequestStatus::Denied);
  EXPECT_TRUE(o.records.empty());
  ops.adminPolicy = std::make_shared<EffectivePolicy>(MakeEffectivePolicy({auditOnly, audit}, {}));
  o = Dispatch(ops, 1, 0, u"software\\other");
  EXPECT_EQ(o.status, RequestStatus::Denied);
  ASSERT_EQ(o.records.size(), 1u);
  EXPECT_EQ(o.records[0].id, tarnvel::audit::EventId::RefusedOutsideSubtree);
}

TEST(Dispatcher, ValueNamesAreCheckedOnlyForValueOps) {
  for (const int32_t op : {1, 2, 3, 4, 5, 12, 13}) {
    SCOPED_TRACE(op);
    for (const Text& name : {Text(u"a\\b"), Text(u"a/b"), Text(u"a\0b", 3)}) {
      const Outcome o = Dispatch(op, 0, kKey, name);
      EXPECT_EQ(o.status, RequestStatus::BadArgument);
      EXPECT_TRUE(o.calls.empty());
    }
  }
  // Key ops ignore text B.
  for (const int32_t op : {6, 7, 8, 9, 10}) {
    const Outcome o = Dispatch(op, 0, kKey, u"a\\b");
    EXPECT_EQ(o.status, RequestStatus::Success);
    EXPECT_EQ(o.calls.size(), 1u);
  }
}

TEST(Dispatcher, LocalMachineReadsAreJudgedInTheirOwnSubtrees) {
  for (const Text& key : {Text(u"software\\tarnvel\\a"), Text(u"SOFTWARE\\Wow6432Node\\Tarnvel")}) {
    const Outcome o = Dispatch(1, 1, key);
    EXPECT_EQ(o.status, RequestStatus::Success);
    ASSERT_EQ(o.calls.size(), 1u);
    EXPECT_EQ(o.calls[0].hives, std::vector<int32_t>{1});
  }
  EXPECT_EQ(Dispatch(1, 1, u"tarnvel\\a").status, RequestStatus::Denied);
  EXPECT_EQ(Dispatch(1, 0, u"software\\wow6432node\\tarnvel").status, RequestStatus::Denied);
}

TEST(Dispatcher, NumbersAreParsedFromTextC) {
  const Outcome o = Dispatch(4, 0, kKey, u"v", u"-1");
  ASSERT_EQ(o.calls.size(), 1u);
  EXPECT_EQ(o.calls[0].texts[2], Text(1, u'\xFFFF')) << "-1 stores 0xFFFFFFFF";
}

}  // namespace

namespace {

// Each judged value exists only where its check allowed it, and carries exactly the texts
// that check judged (a registry key in the canonical form the registry acts on).
TEST(JudgedValues, ExistOnlyWhenAllowedAndCarryTheJudgedTexts) {
  const Text temp = kTemp;
  const auto in = JudgeCopyIn(u"D:\\a.png", temp + u"\\b.png", temp);
  ASSERT_TRUE(in.allowed());
  EXPECT_EQ(in->source(), u"D:\\a.png");
  EXPECT_EQ(in->destination(), temp + u"\\b.png");
  EXPECT_EQ(in->insidePath(), temp + u"\\b.png");
  EXPECT_EQ(in->remainderBelowTemp(), u"\\b.png");
  EXPECT_EQ(JudgeCopyIn(u"\\\\.\\pipe\\x.pdf", temp + u"\\b.pdf", temp).verdict(), MalformedKey);
  const auto out = JudgeExport(temp + u"\\A.pdf", u"E:\\o\\a.pdf", temp);
  ASSERT_TRUE(out.allowed());
  EXPECT_EQ(out->insidePath(), temp + u"\\A.pdf");
  EXPECT_EQ(out->remainderBelowTemp(), u"\\a.pdf");
  EXPECT_EQ(JudgeExport(u"E:\\a.pdf", u"E:\\o\\a.pdf", temp).verdict(), OutsideSubtree);

  EXPECT_TRUE(JudgeShellTarget(u"https://host/").allowed());
  EXPECT_EQ(JudgeShellTarget(u"shell:startup\\a.pdf").verdict(), OutsideSubtree);
  EXPECT_EQ(JudgeShellTarget(u"C:\\r.pdf")->target(), u"C:\\r.pdf");
  EXPECT_TRUE(JudgeUrl(u"http://127.0.0.1:1/").allowed());
  EXPECT_EQ(JudgeUrl(u"http://user@host/").verdict(), MalformedKey);
  EXPECT_EQ(JudgeUrl(u"ftp://host/").verdict(), OutsideSubtree);
  // A redirect leads on only where the URL policy would let a first address go.
  const auto url = JudgeUrl(u"http://127.0.0.1:1/a");
  ASSERT_TRUE(url.allowed());
  ASSERT_TRUE(url->RedirectTo(u"https://host/b").has_value());
  EXPECT_EQ(url->RedirectTo(u"https://host/b")->url(), u"https://host/b");
  for (const Text& target : {Text(u"file:///C:/x"), Text(u"ftp://host/"), Text(u"http://user@host/"), Text()}) {
    EXPECT_FALSE(url->RedirectTo(target).has_value());
  }

  const auto refused = JudgeKey(1, u"software\\tarnvel\\x", true);
  EXPECT_EQ(refused.verdict(), WriteToReadOnlyHive);
  EXPECT_FALSE(refused.allowed());
  EXPECT_DEATH(static_cast<void>(*refused), "") << "a refusal has no value to act on";
  const auto key = JudgeKey(1, u"/Software//Tarnvel/X/", false);
  ASSERT_TRUE(key.allowed());
  EXPECT_EQ(key->hive(), 1);
  EXPECT_EQ(key->key(), u"Software\\Tarnvel\\X");
  EXPECT_EQ(JudgeDataPath(u"C:\\R\\tarnvel\\f", u"C:\\R").verdict(), Allow);
}

}  // namespace
