// SPDX-License-Identifier: Apache-2.0
// The host library reads reply texts strictly: what the protocol does not allow is refused,
// not guessed into a number or bytes.
#include <gtest/gtest.h>

#include "sdk/reply_text.h"

using namespace tarnvel;

namespace {

using namespace tarnvel::host::detail;

TEST(ReplyText, UnsignedNumbersAreDigitsWithinTheirWidth) {
  struct Case {
    std::u16string text;
    bool ok32;
    uint32_t v32;
    bool ok64;
    uint64_t v64;
  };
  const Case cases[] = {
      {u"0", true, 0, true, 0},
      {u"4294967295", true, 4294967295u, true, 4294967295u},
      {u"4294967296", false, 0, true, 4294967296ull},
      {u"18446744073709551615", false, 0, true, 18446744073709551615ull},
      {u"18446744073709551616", false, 0, false, 0},
      {u"99999999999999999999", false, 0, false, 0},
      {u"000000000000000000001", false, 0, false, 0},  // more than 20 digits
      {u"", false, 0, false, 0},
      {u"-1", false, 0, false, 0},
      {u"+1", false, 0, false, 0},
      {u" 1", false, 0, false, 0},
      {u"1 ", false, 0, false, 0},
      {u"0x10", false, 0, false, 0},
      {std::u16string(u"1\0", 2), false, 0, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t v32 = 7;
    uint64_t v64 = 7;
    EXPECT_EQ(ParseUnsigned32(c.text, v32), c.ok32);
    EXPECT_EQ(ParseUnsigned64(c.text, v64), c.ok64);
    if (c.ok32) EXPECT_EQ(v32, c.v32);
    if (c.ok64) EXPECT_EQ(v64, c.v64);
  }
}

TEST(ReplyText, DecimalTextRoundTripsEveryWidth) {
  for (uint64_t v : {0ull, 9ull, 10ull, 4294967295ull, 4294967296ull, 18446744073709551615ull}) {
    uint64_t back = 0;
    ASSERT_TRUE(ParseUnsigned64(DecimalText(v), back));
    EXPECT_EQ(back, v);
  }
  EXPECT_EQ(DecimalText(1234567890), u"1234567890");
}

TEST(ReplyText, HexIsLowerCaseAndDecodesEitherCase) {
  const std::vector<uint8_t> bytes = {0x00, 0x0f, 0xa5, 0xff, 0x10};
  EXPECT_EQ(HexText(bytes), u"000fa5ff10");
  std::vector<uint8_t> out;
  ASSERT_TRUE(DecodeHexText(u"000FA5ff10", out));
  EXPECT_EQ(out, bytes);
  ASSERT_TRUE(DecodeHexText(u"", out));
  EXPECT_TRUE(out.empty());
  out = {1};
  for (const char16_t* bad : {u"0", u"0g", u"abc", u" 00", u"0x00"}) {
    EXPECT_FALSE(DecodeHexText(bad, out)) << bad[0];
    EXPECT_EQ(out, std::vector<uint8_t>{1});  // untouched on refusal
  }
}

TEST(ReplyText, UrlPollTextsAreTheThreeForms) {
  struct Case {
    std::u16string text;
    bool ok;
    PollKind kind;
    uint32_t number;
  };
  const Case cases[] = {
      {u"pending", true, PollKind::Pending, 0},
      {u"http 200", true, PollKind::HttpStatus, 200},
      {u"http 404", true, PollKind::HttpStatus, 404},
      {u"error 12029", true, PollKind::Error, 12029},
      {u"error 4294967295", true, PollKind::Error, 4294967295u},
      {u"http", false, PollKind::Pending, 0},
      {u"http ", false, PollKind::Pending, 0},
      {u"http 20x", false, PollKind::Pending, 0},
      {u"HTTP 200", false, PollKind::Pending, 0},
      {u"error 4294967296", false, PollKind::Pending, 0},
      {u"pending ", false, PollKind::Pending, 0},
      {u"", false, PollKind::Pending, 0},
  };
  for (const Case& c : cases) {
    PollKind kind = PollKind::Pending;
    uint32_t number = 99;
    EXPECT_EQ(ParseUrlPoll(c.text, kind, number), c.ok);
    if (c.ok) {
      EXPECT_EQ(kind, c.kind);
      EXPECT_EQ(number, c.number);
    }
  }
}

TEST(ReplyText, ListsNeedEveryElementTerminated) {
  std::vector<std::u16string> items;
  ASSERT_TRUE(SplitList(std::u16string(u"x\0yz\0", 5), items));
  EXPECT_EQ(items, (std::vector<std::u16string>{u"x", u"yz"}));
  ASSERT_TRUE(SplitList(std::u16string(u"\0\0", 2), items));
  EXPECT_EQ(items, (std::vector<std::u16string>{u"", u""}));
  ASSERT_TRUE(SplitList(u"", items));
  EXPECT_TRUE(items.empty());
  EXPECT_FALSE(SplitList(std::u16string(u"x\0y", 3), items));
}

}  // namespace
