// SPDX-License-Identifier: Apache-2.0
// An event-log record's texts: how a hostile request text is escaped and bounded, and the
// message file that gives each event ID its readable text, held against the ID table.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include "audit/record.h"

using namespace tarnvel;
using namespace tarnvel::audit;

namespace {

TEST(AuditRecord, TargetsAreEscapedSoThatTheyReadBackExactly) {
  struct Case {
    const char* what;
    Text in, out;
  } cases[] = {
      {"plain path kept", u"C:\\Users\\u\\a b.pdf", u"C:\\Users\\u\\a b.pdf"},
      {"percent (an insert to Event Viewer)", u"%1 %%1", u"%251 %25%251"},
      {"newline and carriage return", u"a\r\nb", u"a%0D%0Ab"},
      {"NUL and DEL", Text(u"a\0b\x7f", 4), u"a%00b%7F"},
      {"C1 control", u"a\u0085b", u"a%85b"},
      {"the separator of two texts", u"a > b", u"a %3E b"},
      {"line separator", u"a\u2028b", u"a%u2028b"},
      {"right-to-left override", u"a\u202Efdp.exe", u"a%u202Efdp.exe"},
      {"first strong isolate", u"\u2068x", u"%u2068x"},
      {"a pair is kept", u"\U0001F600", u"\U0001F600"},
      {"lone high surrogate", Text(1, char16_t(0xD800)) + u"x", u"%uD800x"},
      {"lone low surrogate", Text(1, char16_t(0xDC00)), u"%uDC00"},
      {"other text kept", u"\u00e9\u4e2d", u"\u00e9\u4e2d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EscapeForRecord(c.in), c.out);
  }
}

TEST(AuditRecord, LongTextsAreCutWholeAndSayHowLongTheyWere) {
  struct Case {
    const char* what;
    Text in;
    size_t max;
    Text out;
  } cases[] = {
      {"fits exactly", u"abcd", 4, u"abcd"},
      {"cut", u"abcdef", 4, u"abcd%[cut: 6 units]"},
      {"no escape is split", u"ab\n", 4, u"ab%[cut: 3 units]"},
      {"no pair is split", u"abc\U0001F600", 4, u"abc%[cut: 5 units]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EscapeForRecord(c.in, c.max), c.out);
  }
  const Text huge(100000, u'\n');
  EXPECT_LE(EscapeForRecord(huge).size(), MaxTargetUnits + 24);
}

TEST(AuditRecord, TheFourStringsAreOpRuleTargetAndHostPid) {
  AuditRecord r;
  r.op = RecordOp(21);
  r.rule = u"denied: 100%";
  r.target = RecordTarget(u"D:\\a>b.png", u"C:\\t\\b.png");
  const std::array<Text, 4> s = RecordStrings(r, 4294967295u);
  EXPECT_EQ(s[0], u"copy-in");
  EXPECT_EQ(s[1], u"denied: 100%25");
  EXPECT_EQ(s[2], u"D:\\a%3Eb.png > C:\\t\\b.png");
  EXPECT_EQ(s[3], u"4294967295");
  EXPECT_EQ(RecordOp(-7), u"op -7");
}

// The message file's entries: MessageId to SymbolicName, and each text.
struct McEntry {
  std::string name, text;
};
std::map<uint32_t, McEntry> ReadMessageFile() {
  std::ifstream file(TARNVEL_MESSAGES_MC);
  EXPECT_TRUE(file) << TARNVEL_MESSAGES_MC;
  std::map<uint32_t, McEntry> entries;
  std::string line;
  uint32_t id = 0;
  bool inText = false;
  while (std::getline(file, line)) {
    if (inText) {
      if (line == ".") {
        inText = false;
      } else {
        entries[id].text += line + "\n";
      }
    } else if (line.rfind("MessageId=", 0) == 0) {
      id = static_cast<uint32_t>(std::stoul(line.substr(10), nullptr, 0));
      entries[id];
    } else if (line.rfind("SymbolicName=", 0) == 0) {
      entries[id].name = line.substr(13);
    } else if (line.rfind("Language=", 0) == 0) {
      inText = true;
    }
  }
  return entries;
}

TEST(AuditEvents, TheMessageFileHasExactlyTheTablesIdsAndNamesWithAllFourInserts) {
  const std::map<uint32_t, McEntry> entries = ReadMessageFile();
  EXPECT_EQ(entries.size(), sizeof kEvents / sizeof kEvents[0]);
  for (const EventInfo& event : kEvents) {
    SCOPED_TRACE(event.name);
    const auto found = entries.find(Code(event.id));
    ASSERT_NE(found, entries.end());
    EXPECT_EQ(found->second.name, event.name);
    for (const char* insert : {"%1", "%2", "%3", "%4"}) {
      EXPECT_NE(found->second.text.find(insert), std::string::npos) << insert;
    }
    EXPECT_EQ(found->second.text.find("%5"), std::string::npos);
  }
}

// A policy that refuses anything has IDs of its own, distinct from every other's.
TEST(AuditEvents, EveryRefusingPolicyHasItsOwnIds) {
  std::map<uint32_t, std::string> seen;
  for (const tarnvel::policy::AdminPolicyRow& row : tarnvel::policy::kAdminPolicies) {
    if (row.refusal == nullptr) continue;
    SCOPED_TRACE(row.name);
    for (EventKind kind : {EventKind::Refusal, EventKind::WouldRefuse}) {
      const EventId id = EventOfPolicy(row.id, kind);
      EXPECT_NE(id, EventOfPolicy(tarnvel::policy::AdminPolicyId::Audit, kind)) << "only the fallback ID";
      ASSERT_NE(FindEvent(id), nullptr);
      EXPECT_EQ(FindEvent(id)->kind, kind);
      EXPECT_TRUE(seen.emplace(Code(id), row.name).second) << "ID shared with " << seen[Code(id)];
    }
  }
}

}  // namespace
