// SPDX-License-Identifier: Apache-2.0
// tarnvel-host's session words: each request word sends its op's code with its arguments in
// the texts the op reads, numbers for the registry are checked before they are sent, and
// replies are named as the protocol names them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tarnvel/protocol.h"
#include "tools/tarnvel-host/session.h"

using namespace tarnvel;

namespace tarnvel::host {
namespace {

using protocol::Code;
using protocol::kOps;
using protocol::OpInfo;
using protocol::RequestOp;
using protocol::RequestStatus;

std::vector<Text> Words(std::initializer_list<const char*> words) {
  std::vector<Text> out;
  for (const char* w : words) out.push_back(AsciiText(w));
  return out;
}

// The op's word, "hkcu" when it takes a hive, then one distinct argument per text it reads.
std::vector<Text> WordsFor(const OpInfo& info, size_t extra = 0) {
  std::vector<Text> words = {AsciiText(info.word)};
  if (info.usesHive) words.push_back(u"hkcu");
  for (size_t i = 0; i < std::strlen(info.texts) + extra; ++i) words.push_back(u"7" + Text(i, u'0'));
  return words;
}

TEST(SessionWords, EveryOpOfTheTableIsAWordThatFillsItsTexts) {
  for (const OpInfo& info : kOps) {
    SCOPED_TRACE(info.word);
    Action action;
    std::string error;
    const std::vector<Text> words = WordsFor(info);
    ASSERT_TRUE(ParseAction(words, action, error)) << error;
    EXPECT_EQ(action.kind, Action::Kind::Request);
    EXPECT_EQ(action.op, Code(info.op));
    size_t next = info.usesHive ? 2 : 1;
    Text expected[3];
    for (const char* t = info.texts; *t; ++t) expected[*t - 'A'] = words[next++];
    EXPECT_EQ(action.a, expected[0]);
    EXPECT_EQ(action.b, expected[1]);
    EXPECT_EQ(action.c, expected[2]);
  }
}

TEST(SessionWords, AWrongNumberOfArgumentsNamesTheWordsUsage) {
  for (const OpInfo& info : kOps) {
    SCOPED_TRACE(info.word);
    Action action;
    std::string error;
    EXPECT_FALSE(ParseAction(WordsFor(info, 1), action, error));
    EXPECT_EQ(error.rfind(std::string(info.word) + " takes: ", 0), 0u) << error;
  }
}

TEST(SessionWords, ListingsArePrintedAsListsAndEverythingElsePlain) {
  struct Case {
    const char* word;
    ReplyShape shape;
  };
  const Case cases[] = {
      {"list-keys", ReplyShape::List},
      {"list-values", ReplyShape::Pairs},
      {"read-string", ReplyShape::Plain},
      {"read-file", ReplyShape::Plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const OpInfo* info = nullptr;
    for (const OpInfo& row : kOps) {
      if (std::strcmp(row.word, c.word) == 0) info = &row;
    }
    ASSERT_NE(info, nullptr);
    Action action;
    std::string error;
    ASSERT_TRUE(ParseAction(WordsFor(*info), action, error)) << error;
    EXPECT_EQ(action.shape, c.shape);
  }
}

TEST(SessionWords, RegistryNumbersAreDecimalWithinTheirWidthBeforeTheyAreSent) {
  struct Case {
    const char* word;
    const char* number;
    bool accepted;
  };
  const Case cases[] = {
      {"write-dword", "0", true},
      {"write-dword", "4294967295", true},
      {"write-dword", "4294967296", false},
      {"write-dword", "-2147483648", true},
      {"write-dword", "-2147483649", false},
      {"write-dword", "-0", true},
      {"write-dword", "-", false},
      {"write-dword", "", false},
      {"write-dword", "+1", false},
      {"write-dword", " 1", false},
      {"write-dword", "1 ", false},
      {"write-dword", "0x10", false},
      {"write-dword", "--1", false},
      // Leading zeros count as digits: twenty are the most a number of the widest width has.
      {"write-dword", "00000000000000000001", true},
      {"write-dword", "000000000000000000001", false},
      {"write-dword", "-00000000000000000001", true},
      {"write-qword", "18446744073709551615", true},
      {"write-qword", "18446744073709551616", false},
      {"write-qword", "99999999999999999999", false},
      {"write-qword", "-9223372036854775808", true},
      {"write-qword", "-9223372036854775809", false},
      {"write-qword", "12abc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " '" + c.number + "'");
    Action action;
    std::string error;
    EXPECT_EQ(ParseAction(Words({c.word, "hkcu", "software\\tarnvel\\x", "n", c.number}), action, error), c.accepted)
        << error;
    if (!c.accepted) {
      EXPECT_NE(error.find("' is not a decimal number of "), std::string::npos) << error;
    } else {
      EXPECT_EQ(action.c, AsciiText(c.number));
    }
  }
}

TEST(SessionWords, OpSendsAnyCodeAndAnyText) {
  constexpr int32_t kUnknownOp = 19;
  static_assert(protocol::FindOp(kUnknownOp) == nullptr, "a code the broker does not serve");
  Action action;
  std::string error;
  const std::string code = std::to_string(kUnknownOp);
  ASSERT_TRUE(ParseAction(Words({"op", code.c_str(), "hklm", "a", "b", "not a number"}), action, error)) << error;
  EXPECT_EQ(action.op, kUnknownOp);
  EXPECT_EQ(action.hive, 1);
  EXPECT_EQ(action.c, u"not a number");
}

TEST(StatusText, NamesTheProtocolsStatusesAndNumbersTheRest) {
  struct Case {
    int32_t status;
    const char* text;
  };
  const Case cases[] = {
      {Code(RequestStatus::Success), "Success"},
      {Code(RequestStatus::NotFound), "NotFound"},
      {Code(RequestStatus::Denied), "Denied"},
      {Code(RequestStatus::Failed), "Failed"},
      {Code(RequestStatus::BadArgument), "BadArgument"},
      // Numbers no reply of this broker carries.
      {5, "status 5"},
      {-1, "status -1"},
      {INT32_MIN, "status -2147483648"},
  };
  for (const Case& c : cases) EXPECT_EQ(StatusText(c.status), c.text);
}

}  // namespace
}  // namespace tarnvel::host
