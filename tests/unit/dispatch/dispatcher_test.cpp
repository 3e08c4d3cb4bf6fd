// SPDX-License-Identifier: Apache-2.0
// The dispatcher's order of decisions over recording operations: for every op code, which
// operation runs on which texts after which judgement, and what is refused with which line.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>
#include "requests/dispatcher.h"
#include "support/debug_capture.h"
#include "support/recording_operations.h"

namespace {

const Text kKey = u"Software\\Tarnvel\\x";
const Text kPath = u"C:\\Users\\u\\AppData\\Roaming\\tarnvel\\f.bin";

struct Outcome {
  RequestStatus status;
  Text reply;
  std::vector<RecordedCall> calls;
  std::vector<std::string> lines;
};

Outcome Dispatch(int32_t op, int32_t hive, const Text& a, const Text& b = u"v", const Text& c = u"7") {
  RecordingOperations ops;
  DebugCapture capture;
  Outcome o{RequestStatus::Failed, u"stale", {}, {}};
  o.status = DispatchRequest(ops, op, hive, a, b, c, o.reply);
  o.calls = ops.calls;
  o.lines = capture.Lines();
  return o;
}

TEST(Dispatcher, EveryOpCodeReachesItsOperationWithTheJudgedTexts) {
  struct Case {
    int32_t op;
    Text a;
    const char* call;  // null: no operation runs
    RequestStatus status;
    Text reply;
  } cases[] = {
      {1, kKey, "ReadString", RequestStatus::Success, u"value"},
      {2, kKey, "WriteString", RequestStatus::Success, u""},
      {3, kKey, "ReadDword", RequestStatus::Success, u"4294967295"},
      {4, kKey, "WriteDword", RequestStatus::Success, u""},
      {5, kKey, "DeleteValue", RequestStatus::Success, u""},
      {6, kKey, "DeleteKey", RequestStatus::Success, u""},
      {7, kKey, "DeleteKeyTree", RequestStatus::Success, u""},
      {8, kKey, "KeyExists", RequestStatus::Success, u""},
      {9, kKey, "ListSubkeys", RequestStatus::Success, Text(u"x\0yz\0", 5)},
      {10, kKey, "ListValues", RequestStatus::Success, Text(u"n\0d\0", 4)},
      {11, u"..", nullptr, RequestStatus::Success, u"pong"},
      {12, kKey, "ReadQword", RequestStatus::Success, u"18446744073709551615"},
      {13, kKey, "WriteQword", RequestStatus::Success, u""},
      {14, kPath, "ReadDataFile", RequestStatus::Success, u"00ff"},
      {15, kPath, "WriteDataFile", RequestStatus::Success, u""},
      {16, kPath, "DataFileExists", RequestStatus::Success, u""},
      {17, kPath, "DeleteDataFile", RequestStatus::Success, u""},
      {18, u"anything", "ShellOpen", RequestStatus::Success, u""},
      {19, kKey, nullptr, RequestStatus::BadArgument, u""},
      {20, kKey, "CopyKeyTree", RequestStatus::Success, u""},
      {21, u"anything", "CopyFileIn", RequestStatus::Success, u""},
      {22, u"anything", "ExportFile", RequestStatus::Success, u""},
      {23, u"anything", "StartHttpCheck", RequestStatus::Success, u"1"},
      {24, u"anything", "PollHttpCheck", RequestStatus::Success, u"pending"},
      {0, kKey, nullptr, RequestStatus::BadArgument, u""},
      {-1, kKey, nullptr, RequestStatus::BadArgument, u""},
      {INT_MIN, kKey, nullptr, RequestStatus::BadArgument, u""},
      {25, kKey, nullptr, RequestStatus::BadArgument, u""},
      {26, kKey, nullptr, RequestStatus::BadArgument, u""},
      {INT_MAX, kKey, nullptr, RequestStatus::BadArgument, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    const Text b = c.op == 20 ? u"tarnvel\\copy" : u"v";
    const Outcome o = Dispatch(c.op, 0, c.a, b);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.reply, c.reply);
    EXPECT_TRUE(o.lines.empty());
    if (c.call == nullptr) {
      EXPECT_TRUE(o.calls.empty());
      continue;
    }
    ASSERT_EQ(o.calls.size(), 1u);
    EXPECT_EQ(o.calls[0].name, c.call);
    ASSERT_FALSE(o.calls[0].texts.empty());
    EXPECT_EQ(o.calls[0].texts[0], c.a) << "the operation gets text A exactly as carried";
    for (PolicyVerdict v : o.calls[0].judged) EXPECT_EQ(v, Allow);
  }
}

TEST(Dispatcher, RefusalsRunNothingAndWriteOneLine) {
  struct Case {
    const char* what;
    int32_t op, hive;
    Text a, b;
    std::string line;
  } cases[] = {
      {"write to the read-only hive", 2, 1, kKey, u"v", "[TarnvelBroker] denied: write to read-only hive\n"},
      {"delete in the read-only hive", 7, 1, kKey, u"", "[TarnvelBroker] denied: write to read-only hive\n"},
      {"unknown hive", 1, 2, kKey, u"v", "[TarnvelBroker] denied: unknown hive\n"},
      {"key outside the subtree", 1, 0, u"software\\other", u"v", "[TarnvelBroker] denied: outside Tarnvel subtree\n"},
      {"unknown op judged as a read", 0, 0, u"", u"", "[TarnvelBroker] denied: malformed key\n"},
      {"op 19 judged as a read", 19, 5, kKey, u"", "[TarnvelBroker] denied: unknown hive\n"},
      {"data file outside its folder", 14, 0, u"C:\\Users\\u\\AppData\\Roaming\\other\\f", u"",
       "[TarnvelBroker] denied: outside Tarnvel subtree\n"},
      {"data file climbing out", 15, 0, kPath + u"\\..\\..\\x", u"", "[TarnvelBroker] denied: malformed key\n"},
      {"data file judged by path, not hive", 16, 1, u"software\\tarnvel", u"",
       "[TarnvelBroker] denied: outside Tarnvel subtree\n"},
      {"copy tree from outside", 20, 0, u"software\\other", u"software\\tarnvel\\y",
       "[TarnvelBroker] copy tree denied\n"},
      {"copy tree into the read-only hive", 20, 1, kKey, u"software\\tarnvel\\y", "[TarnvelBroker] copy tree denied\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = Dispatch(c.op, c.hive, c.a, c.b);
    EXPECT_EQ(o.status, RequestStatus::Denied);
    EXPECT_EQ(o.reply, u"");
    EXPECT_TRUE(o.calls.empty());
    EXPECT_EQ(o.lines, std::vector<std::string>{c.line});
  }
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

// Each judged value carries exactly the texts its check judged, with that check's verdict.
TEST(JudgedValues, CarryTheJudgedTextsAndTheirChecksVerdict) {
  const Text temp = u"C:\\Users\\u\\AppData\\Local\\Temp";
  const JudgedCopy in = JudgeCopyIn(u"D:\\a.png", temp + u"\\b.png", temp);
  EXPECT_TRUE(in.allowed());
  EXPECT_EQ(in.source(), u"D:\\a.png");
  EXPECT_EQ(in.destination(), temp + u"\\b.png");
  EXPECT_EQ(JudgeCopyIn(u"\\\\.\\pipe\\x.pdf", temp + u"\\b.pdf", temp).verdict(), MalformedKey);
  const JudgedCopy out = JudgeExport(temp + u"\\a.pdf", u"E:\\o\\a.pdf", temp);
  EXPECT_TRUE(out.allowed());
  EXPECT_EQ(out.source(), temp + u"\\a.pdf");
  EXPECT_EQ(JudgeExport(u"E:\\a.pdf", u"E:\\o\\a.pdf", temp).verdict(), OutsideSubtree);

  EXPECT_TRUE(JudgeShellTarget(u"https://host/").allowed());
  EXPECT_EQ(JudgeShellTarget(u"shell:startup\\a.pdf").verdict(), OutsideSubtree);
  EXPECT_EQ(JudgeShellTarget(u"C:\\r.pdf").target(), u"C:\\r.pdf");
  EXPECT_TRUE(JudgeUrl(u"http://127.0.0.1:1/").allowed());
  EXPECT_EQ(JudgeUrl(u"http://user@host/").verdict(), MalformedKey);
  EXPECT_EQ(JudgeUrl(u"ftp://host/").verdict(), OutsideSubtree);

  const JudgedKey key = JudgeKey(1, u"software\\tarnvel\\x", true);
  EXPECT_EQ(key.verdict(), WriteToReadOnlyHive);
  EXPECT_EQ(key.hive(), 1);
  EXPECT_EQ(key.key(), u"software\\tarnvel\\x");
  EXPECT_EQ(JudgeDataPath(u"C:\\R\\tarnvel\\f", u"C:\\R").verdict(), Allow);
}

}  // namespace
