// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <limits>

#include "base/decimal.h"
#include "base/nul_list.h"
#include "base/hex.h"
#include "show_text.h"

using namespace tarnvel;

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr uint64_t kUMax = std::numeric_limits<uint64_t>::max();

TEST(DecimalText, SignedParseLikeTheCLibrary) {
  const std::pair<Text, int64_t> cases[] = {
      {u"", 0},
      {u"42", 42},
      {u" 42", 42},
      {u"+42", 42},
      {u"42xyz", 42},
      {u"007", 7},
      {u"-1", -1},
      {u"12abc", 12},
      {u"0x10", 0},
      {u"x", 0},
      {u"-", 0},
      {u"+-1", 0},
      {u"- 1", 0},
      {u" \t\n\v\f\r7", 7},
      {u"\u00A07", 0},  // no-break space is not C white space
      {u"\uFF11", 0},   // full-width digit one is not a digit
      {u"4294967296", 4294967296LL},
      {u"9223372036854775807", kMax},
      {u"9223372036854775808", kMax},
      {u"-9223372036854775808", kMin},
      {u"-9223372036854775809", kMin},
      {u"184467440737095516160000", kMax},
      {u"-184467440737095516160000", kMin},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseSigned64Decimal(c.first), c.second) << ShowText(c.first);
}

// A 32-bit write keeps the low 32 bits of the signed parse.
TEST(DecimalText, DwordWriteExamples) {
  const std::pair<Text, uint32_t> cases[] = {
      {u"4294967295", 0xFFFFFFFFu},
      {u"-1", 0xFFFFFFFFu},
      {u"4294967296", 0},
      {u"12abc", 12},
      {u"0x10", 0},
      {u" 42", 42},
      {u"+42", 42},
      {u"42xyz", 42},
      {u"", 0},
      {u"99999999999999999999", 0xFFFFFFFFu},
      {u"-99999999999999999999", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<uint32_t>(ParseSigned64Decimal(c.first)), c.second) << ShowText(c.first);
  }
}

TEST(DecimalText, UnsignedParseNegatesModuloAndSaturates) {
  const std::pair<Text, uint64_t> cases[] = {
      {u"-1", kUMax},
      {u"x", 0},
      {u"", 0},
      {u"  +5", 5},
      {u"18446744073709551615", kUMax},
      {u"18446744073709551616", kUMax},
      {u"99999999999999999999", kUMax},
      {u"-18446744073709551615", 1},
      {u"-18446744073709551616", kUMax},
      {u"9223372036854775808", 9223372036854775808ULL},
      {u"\r\n123 456", 123},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseUnsigned64Decimal(c.first), c.second) << ShowText(c.first);
}

TEST(DecimalText, FormatUnsigned) {
  EXPECT_EQ(FormatUnsignedDecimal(0), u"0");
  EXPECT_EQ(FormatUnsignedDecimal(10), u"10");
  EXPECT_EQ(FormatUnsignedDecimal(4294967295u), u"4294967295");
  EXPECT_EQ(FormatUnsignedDecimal(kUMax), u"18446744073709551615");
  for (uint64_t v : {uint64_t{1}, uint64_t{99}, uint64_t{1000000007}, kUMax - 1}) {
    EXPECT_EQ(ParseUnsigned64Decimal(FormatUnsignedDecimal(v)), v);
  }
}

TEST(DecimalText, JoinEndsEveryElementWithOneNul) {
  EXPECT_EQ(JoinNulTerminated({}), Text());
  EXPECT_EQ(JoinNulTerminated({Text()}), Text(1, u'\0'));
  EXPECT_EQ(JoinNulTerminated({u"x", u"yz"}), Text(u"x\0yz\0", 5));
  EXPECT_EQ(JoinNulTerminated({u"a", u"", u"b", u""}), Text(u"a\0\0b\0\0", 6));
}

TEST(DecimalText, StrictDigitsWithinTheirLimit) {
  struct Case {
    Text text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {u"0", 9, true, 0},
      {u"007", 9, true, 7},
      {u"9", 8, false, 0},  // one digit past a limit below ten
      {u"4294967295", 4294967295u, true, 4294967295u},
      {u"4294967296", 4294967295u, false, 0},
      {u"18446744073709551615", kUMax, true, kUMax},
      {u"18446744073709551616", kUMax, false, 0},
      {u"", kUMax, false, 0},
      {u"+1", kUMax, false, 0},
      {u"-1", kUMax, false, 0},
      {u" 1", kUMax, false, 0},
      {u"1 ", kUMax, false, 0},
      {u"1x", kUMax, false, 0},
      {Text(u"1\0", 2), kUMax, false, 0},
      {u"\uFF11", kUMax, false, 0},  // a full-width digit is not a digit here
  };
  for (const Case& c : cases) {
    uint64_t out = 12345;
    EXPECT_EQ(ParseDecimalDigits(c.text, c.max, out), c.ok) << ShowText(c.text);
    EXPECT_EQ(out, c.ok ? c.value : 12345u) << ShowText(c.text);
  }
}

TEST(NulList, SplitsWhatJoinMadeAndShowsAnUnterminatedTail) {
  const std::vector<std::vector<Text>> lists = {{}, {Text()}, {u"x", u"yz"}, {u"a", u"", u"b", u""}};
  for (const auto& items : lists) {
    bool wellFormed = false;
    EXPECT_EQ(SplitNulTerminated(JoinNulTerminated(items), &wellFormed), items);
    EXPECT_TRUE(wellFormed);
  }
  bool wellFormed = true;
  EXPECT_EQ(SplitNulTerminated(Text(u"a\0bc", 4), &wellFormed), (std::vector<Text>{u"a", u"bc"}));
  EXPECT_FALSE(wellFormed);
}

TEST(Hex, RoundTripOfEveryByte) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  const Text hex = EncodeHexLower(all.data(), all.size());
  ASSERT_EQ(hex.size(), 512u);
  for (int i = 0; i < 256; ++i) {
    const char16_t* digits = u"0123456789abcdef";
    EXPECT_EQ(hex[2 * i], digits[i >> 4]) << i;
    EXPECT_EQ(hex[2 * i + 1], digits[i & 15]) << i;
  }
  std::vector<uint8_t> back;
  ASSERT_TRUE(DecodeHex(hex, back));
  EXPECT_EQ(back, all);

  Text upper = hex;
  for (char16_t& c : upper) {
    if (c >= u'a') c = static_cast<char16_t>(c - 0x20);
  }
  back.clear();
  ASSERT_TRUE(DecodeHex(upper, back));
  EXPECT_EQ(back, all);
}

TEST(Hex, DecodesMixedCaseAndEmpty) {
  std::vector<uint8_t> out{1, 2};
  ASSERT_TRUE(DecodeHex(u"ff00A1", out));
  EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x00, 0xA1}));
  ASSERT_TRUE(DecodeHex(u"", out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(EncodeHexLower(nullptr, 0), Text());
}

TEST(Hex, RefusesOddLengthAndNonDigitsLeavingOutputAlone) {
  const Text bad[] = {
      u"abc",          u"a", u"zz", u"0g", u"g0", u"00 1", u"0x", Text(u"0\0", 2),
      u"\u01300",  // low byte would read as '0'
      u"0\u0161",  // low byte would read as 'a'
      u"\uFF10\uFF10",
  };
  for (const Text& t : bad) {
    std::vector<uint8_t> out{7};
    EXPECT_FALSE(DecodeHex(t, out)) << ShowText(t);
    EXPECT_EQ(out, std::vector<uint8_t>{7}) << ShowText(t);
  }
  // Long texts are decoded many pairs at a time: one unit that is no digit is refused
  // wherever it stands among them, however close it comes to a digit.
  const char16_t nonDigits[] = {u'/', u':', u'@', u'G',  u'`',  u'g',  0x00,   0x7F,  0xB0,
                                0xC1, 0xE6, 0xFF, 0x130, 0x161, 0x1FF, 0x8030, 0xFF10};
  const Text digits = Text(u"0123456789abcdefABCDEF0123456789") + u"fedcba9876543210FEDCBA9876543210";
  for (char16_t c : nonDigits) {
    for (size_t at = 0; at < digits.size(); ++at) {
      Text t = digits;
      t[at] = c;
      std::vector<uint8_t> out;
      EXPECT_FALSE(DecodeHex(t, out)) << "unit " << static_cast<unsigned>(c) << " at " << at;
    }
  }
}

TEST(Hex, PiecesOfAnyBoundsMakeTheEncodedText) {
  // Every byte value; pieces that start and end on either digit of a byte, of one unit,
  // of none, and the whole text at once; pieces long enough to take 16 bytes at a time,
  // from a byte's first digit (64) and from its second (35).
  std::vector<uint8_t> input(300);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 151 + 7);
  const Text expected = EncodeHexLower(input.data(), input.size());
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{35}, size_t{64}, expected.size()}) {
    SCOPED_TRACE(piece);
    std::vector<uint8_t> out(2 * expected.size() + 2, 0xEE);
    for (size_t at = 0; at < expected.size(); at += piece) {
      const size_t units = std::min(piece, expected.size() - at);
      EncodeHexUtf16Le(input.data(), at, units, out.data() + 2 * at);
    }
    EncodeHexUtf16Le(input.data(), expected.size(), 0, out.data() + 2 * expected.size());
    for (size_t u = 0; u < expected.size(); ++u) {
      const char16_t got = static_cast<char16_t>(out[2 * u] | out[2 * u + 1] << 8);
      ASSERT_EQ(got, expected[u]) << "unit " << u;
    }
    EXPECT_EQ(out[2 * expected.size()], 0xEE) << "wrote past the text";
    EXPECT_EQ(out[2 * expected.size() + 1], 0xEE) << "wrote past the text";
  }
}

// However a text is cut (between a pair's digits, inside a code unit's bytes), the stream
// accepts what DecodeHex accepts and holds the same bytes.
TEST(Hex, StreamInPiecesAgreesWithDecodeHex) {
  Text long_text;
  for (int i = 0; i < 700; ++i) long_text += u"0123456789abcdefABCDEF"[i % 22];
  const Text cases[] = {u"",
                        u"00ff",
                        u"A1b2",
                        u"abc",
                        u"0g",
                        u"\u01300",
                        u"0\u0161",
                        Text(u"0\0", 2),
                        u"deadBEEF",
                        long_text,
                        long_text + u"0",
                        long_text + u"0g",
                        u"g" + long_text,
                        long_text.substr(0, 698) + u"\uFF10\uFF10"};
  for (const Text& t : cases) {
    SCOPED_TRACE(ShowText(t.substr(0, 16)) + " of " + std::to_string(t.size()));
    std::vector<uint8_t> whole;
    const bool ok = DecodeHex(t, whole);
    std::vector<uint8_t> le(2 * t.size());
    for (size_t i = 0; i < t.size(); ++i) {
      le[2 * i] = static_cast<uint8_t>(t[i]);
      le[2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
    }
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{64}, le.size() + 1}) {
      SCOPED_TRACE(piece);
      // Declared lengths too short, right and unknown: the result must not depend on them.
      for (uint64_t declared : {uint64_t{0}, uint64_t{t.size()}, uint64_t{3}}) {
        HexStream units(declared), bytes(declared);
        for (size_t at = 0; at < t.size(); at += piece) units.Append(t.data() + at, std::min(piece, t.size() - at));
        for (size_t at = 0; at < le.size(); at += piece) {
          bytes.AppendUtf16Le(le.data() + at, std::min(piece, le.size() - at));
        }
        for (HexStream* stream : {&units, &bytes}) {
          const DecodedHex got = stream->Finish();
          EXPECT_EQ(got.wellFormed, ok);
          EXPECT_EQ(got.bytes, ok ? whole : std::vector<uint8_t>());
        }
      }
    }
  }
  // A text that stops inside a code unit spells nothing, even when its units so far did.
  HexStream half(2);
  const uint8_t odd[] = {'0', 0, '0', 0, 'a'};
  half.AppendUtf16Le(odd, sizeof odd);
  EXPECT_FALSE(half.Finish().wellFormed);
}

}  // namespace
