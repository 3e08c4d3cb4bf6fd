// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/decoder.h"
#include "ipc/encoder.h"
#include "wire_words.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using ipc::Decoder;
using ipc::DecodeResult;
using ipc::DecoderState;
using ipc::Encoder;

namespace {

constexpr uint64_t S8 = ipc::String8Flag;
constexpr uint64_t S16 = ipc::String16Flag;

std::vector<uint64_t> EncodeWords(int32_t id, std::vector<Param> params, PointerWidth width = PointerWidth::Bits64) {
  Encoder encoder(width);
  encoder.Open(static_cast<uint32_t>(params.size()));
  for (Param& p : params) EXPECT_TRUE(encoder.Add(p));
  encoder.Finish(id);
  return encoder.Words();
}

// Decodes one whole block; the decoder is left as the block left it.
DecodeResult DecodeBlock(Decoder& d, const std::vector<uint8_t>& bytes) {
  d.Append(bytes.data(), bytes.size());
  return d.Decode();
}

void ExpectSameParam(const Param& a, const Param& b) {
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.value, b.value);
  EXPECT_EQ(a.string8, b.string8);
  EXPECT_EQ(a.string16, b.string16);
}

TEST(WireFormat, TwoParameterReplyIsElevenWords) {
  const std::vector<uint64_t> words = EncodeWords(7, {Param::Int32(0), Param::Text16(u"ok")});
  const std::vector<uint64_t> expected = {0x4D4F524B, 7,
                                          2,          11,
                                          2,          0xFFFFFFFF80000019ull,
                                          0x4B524F4D,
                                          0,                                                  // the integer
                                          2,          uint64_t{u'o'} | uint64_t{u'k'} << 16,  // length and payload
                                          0x474E4142};
  EXPECT_EQ(words, expected);
  // The header's first bytes spell KROM on the pipe, the trailer BANG.
  const std::vector<uint8_t> bytes = WordsToBytes(words);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "KROM");
  EXPECT_EQ(std::string(bytes.end() - 8, bytes.end() - 4), "BANG");
}

TEST(WireFormat, PayloadSizes) {
  // Empty String16: the length word alone.
  EXPECT_EQ(EncodeWords(7, {Param::Text16(u"")}), RawMessage(7, {TypeWord(S16 | 25)}, {0}));
  // String8 of 9 bytes: length and two payload words, the rest of the last one zero.
  EXPECT_EQ(EncodeWords(3, {Param::Bytes("123456789")}), RawMessage(3, {S8 | 23}, {9, 0x3837363534333231ull, 0x39}));
  // Five code units take two words.
  EXPECT_EQ(EncodeWords(3, {Param::Text16(u"abcde", CString16)}),
            RawMessage(3, {TypeWord(S16 | 24)}, {5, 0x0064006300620061ull, 0x65}));
}

TEST(WireFormat, ValueWordsAreSignExtendedOrMasked) {
  const std::vector<uint64_t> words =
      EncodeWords(1, {Param::Int32(-2, Int32Kind1), Param::Int32(0x7FFFFFFF, Int32Kind4), Param::Char8Value(0xFF),
                      Param::Char16Value(0xFFFF), Param::Null(NullString8), Param::Null(NullByteArray)});
  EXPECT_EQ(words, RawMessage(1, {1, 4, 5, 6, 8, 10}, {0xFFFFFFFFFFFFFFFEull, 0x7FFFFFFF, 0xFF, 0xFFFF, ~0ull, ~0ull}));
}

TEST(WireFormat, PointerSizedFollowsTheBuildWidth) {
  struct Case {
    PointerWidth width;
    int64_t value;
    uint64_t word;
  };
  const Case encodes[] = {
      {PointerWidth::Bits64, 0x123456789ABCDEF0, 0x123456789ABCDEF0ull},
      {PointerWidth::Bits64, -1, ~0ull},
      {PointerWidth::Bits32, -1, ~0ull},
      {PointerWidth::Bits32, 0x12345678, 0x12345678},
      {PointerWidth::Bits32, 0x80000000, 0xFFFFFFFF80000000ull},  // the 32-bit value, sign-extended
  };
  for (const Case& c : encodes) {
    EXPECT_EQ(EncodeWords(4, {Param::Pointer(c.value)}, c.width), RawMessage(4, {7}, {c.word})) << c.value;
  }

  const Case decodes[] = {
      {PointerWidth::Bits64, static_cast<int64_t>(0xAAAAAAAA12345678ull), 0xAAAAAAAA12345678ull},
      {PointerWidth::Bits32, 0x12345678, 0xAAAAAAAA12345678ull},  // low half only
      {PointerWidth::Bits32, -1, 0x00000000FFFFFFFFull},
      {PointerWidth::Bits64, 0xFFFFFFFF, 0x00000000FFFFFFFFull},
  };
  for (const Case& c : decodes) {
    Decoder d(c.width);
    ASSERT_EQ(DecodeBlock(d, WordsToBytes(RawMessage(4, {7}, {c.word}))), DecodeResult::Done);
    EXPECT_EQ(d.list().params[0].value, c.value) << std::hex << c.word;
  }
}

TEST(WireFormat, EveryCodeRoundTrips) {
  const std::string bytesWithNul("x\0y\xff", 4);
  const std::vector<Param> params = {Param::Int32(-5, Int32Kind1),
                                     Param::Int32(INT32_MIN, Int32Kind2),
                                     Param::Int32(7, Int32Kind3),
                                     Param::Int32(-1, Int32Kind4),
                                     Param::Char8Value(0xAB),
                                     Param::Char16Value(u'\x20AC'),
                                     Param::Pointer(-1),
                                     Param::Null(NullString8),
                                     Param::Null(NullString16),
                                     Param::Null(NullByteArray),
                                     Param::Bytes("", CString8),
                                     Param::Bytes(bytesWithNul, String8),
                                     Param::Bytes(bytesWithNul, ByteArray),
                                     Param::Text16(u"tarnvel", CString16),
                                     Param::Text16(Text(u"a\0b", 3), String16)};
  Decoder d;
  ASSERT_EQ(DecodeBlock(d, EncodeMessage(6, params)), DecodeResult::Done);
  ASSERT_EQ(d.state(), DecoderState::Complete);
  ASSERT_EQ(d.list().id, 6);
  ASSERT_EQ(d.list().count, params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectSameParam(d.list().params[i], params[i]);
  }
  EXPECT_EQ(d.BufferedBytes(), 0u);
}

TEST(WireFormat, CStringsStopAtTheFirstNul) {
  const std::string abNulCd("ab\0cd", 5);
  Decoder d;
  ASSERT_EQ(DecodeBlock(d, EncodeMessage(6, {Param::Bytes(abNulCd, CString8), Param::Bytes(abNulCd, String8),
                                             Param::Text16(Text(u"ab\0cd", 5), CString16)})),
            DecodeResult::Done);
  EXPECT_EQ(d.list().params[0].string8, "ab");
  EXPECT_EQ(d.list().params[1].string8, abNulCd);
  EXPECT_EQ(d.list().params[2].string16, u"ab");
}

TEST(WireFormat, BytesOneAtATimeDecodeLikeOneBlock) {
  const std::vector<uint8_t> msg =
      EncodeMessage(6, {Param::Int32(1), Param::Int32(0), Param::Text16(u"software\\tarnvel\\settings"),
                        Param::Text16(u"name"), Param::Null(NullString16)});
  Decoder d;
  for (size_t i = 0; i + 1 < msg.size(); ++i) {
    d.Append(&msg[i], 1);
    ASSERT_EQ(d.Decode(), DecodeResult::NeedMore) << "after byte " << i;
    ASSERT_NE(d.state(), DecoderState::Complete);
  }
  d.Append(&msg.back(), 1);
  ASSERT_EQ(d.Decode(), DecodeResult::Done);
  Decoder whole;
  ASSERT_EQ(DecodeBlock(whole, msg), DecodeResult::Done);
  ASSERT_EQ(d.list().count, 5u);
  for (uint32_t i = 0; i < 5; ++i) ExpectSameParam(d.list().params[i], whole.list().params[i]);
}

TEST(WireFormat, SecondMessageStaysBufferedUntilReset) {
  const std::vector<uint8_t> first = EncodeMessage(6, {Param::Int32(11)});
  const std::vector<uint8_t> second = EncodeMessage(3, {Param::Text16(u"next")});
  Decoder d;
  ASSERT_EQ(DecodeBlock(d, Concat({first, second})), DecodeResult::Done);
  EXPECT_EQ(d.list().id, 6);
  EXPECT_EQ(d.list().params[0].value, 11);
  EXPECT_EQ(d.BufferedBytes(), second.size());

  d.Reset();
  EXPECT_EQ(d.list().id, -1);
  EXPECT_EQ(d.list().count, 0u);
  ASSERT_EQ(d.Decode(), DecodeResult::Done);
  EXPECT_EQ(d.list().id, 3);
  EXPECT_EQ(d.list().params[0].string16, u"next");
  EXPECT_EQ(d.BufferedBytes(), 0u);
}

TEST(WireFormat, AtMostTwentyParameters) {
  for (uint32_t n : {20u, 21u}) {
    std::vector<Param> params;
    for (uint32_t i = 0; i < n; ++i) params.push_back(Param::Int32(static_cast<int32_t>(i)));
    Decoder d;
    const DecodeResult r = DecodeBlock(d, EncodeMessage(9, params));
    if (n == 20) {
      ASSERT_EQ(r, DecodeResult::Done);
      EXPECT_EQ(d.list().count, 20u);
      EXPECT_EQ(d.list().params[19].value, 19);
    } else {
      EXPECT_EQ(r, DecodeResult::Error);
      EXPECT_NE(d.state(), DecoderState::Complete);
      EXPECT_EQ(d.list().id, 9);  // stored before the count was refused
    }
  }
}

TEST(WireFormat, HighHalvesOfWordsAreIgnored) {
  std::vector<uint64_t> w = RawMessage(6, {2, TypeWord(S16 | 25), 5, S8 | 22},
                                       {0xFFFFFFFE, 1, 'z', 0xFFFFFFFFFFFFFFFFull, 2, 'h' | 'i' << 8});
  const uint64_t garbage = 0xDEADBEEF00000000ull;
  for (uint64_t& word : w) word = static_cast<uint32_t>(word) | garbage;
  Decoder d;
  ASSERT_EQ(DecodeBlock(d, WordsToBytes(w)), DecodeResult::Done);
  ASSERT_EQ(d.list().id, 6);
  ASSERT_EQ(d.list().count, 4u);
  EXPECT_EQ(d.list().params[0].value, -2);
  EXPECT_EQ(d.list().params[1].string16, u"z");
  EXPECT_EQ(d.list().params[2].type, Char8);
  EXPECT_EQ(d.list().params[2].value, 0xFF);
  EXPECT_EQ(d.list().params[3].string8, "hi");
}

TEST(WireFormat, FlaggedParametersOfTheWrongFamilyAreDropped) {
  struct Case {
    const char* name;
    uint64_t type;
    std::vector<uint64_t> payload;  // length word and payload words
  };
  const Case cases[] = {
      {"8-bit flag on a UTF-16 code", S8 | 25, {9, 0x3837363534333231ull, 0x39}},
      {"16-bit flag on a byte code", TypeWord(S16 | 23), {5, 0x0064006300620061ull, 0x65}},
      {"16-bit flag on ByteArray", TypeWord(S16 | 26), {0}},
      {"8-bit flag on a value code", S8 | 2, {1, 'q'}},
      // Both flags count as 8-bit: nine bytes are two payload words, not three.
      {"both flags with code 23", TypeWord(S8 | S16 | 23), {9, 0x3837363534333231ull, 0x39}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> data = {41};
    data.insert(data.end(), c.payload.begin(), c.payload.end());
    data.push_back(42);
    Decoder d;
    ASSERT_EQ(DecodeBlock(d, WordsToBytes(RawMessage(6, {2, c.type, 2}, data))), DecodeResult::Done);
    ASSERT_EQ(d.list().count, 2u);
    EXPECT_EQ(d.list().params[0].value, 41);
    EXPECT_EQ(d.list().params[1].value, 42);
  }
}

TEST(WireFormat, MalformedMessagesAreRefused) {
  struct Case {
    const char* name;
    std::vector<uint64_t> words;
  };
  std::vector<uint64_t> badMagic = RawMessage(6, {2}, {1});
  badMagic[0] = 0x4D4F524C;
  std::vector<uint64_t> noTypeListEnd = RawMessage(6, {2}, {1});
  noTypeListEnd[5] = 0;
  std::vector<uint64_t> noMessageEnd = RawMessage(6, {2}, {1});
  noMessageEnd.back() = 0x474E4141;
  const Case cases[] = {
      {"wrong magic", badMagic},
      {"negative id", RawMessage(-1, {2}, {1})},
      {"count 0", RawMessage(6, {}, {1, 1})},
      {"count 101", RawMessage(6, {}, {}, 0)},  // count patched below
      {"total 4", RawMessage(6, {2}, {1}, 4)},
      {"total above 0x800000", RawMessage(6, {2}, {1}, 0x800001)},
      {"missing TypeListEnd", noTypeListEnd},
      {"value code 0", RawMessage(6, {0}, {1})},
      {"value code 11", RawMessage(6, {11}, {1})},
      {"value code 21", RawMessage(6, {2, 21}, {1, 1})},
      {"missing MessageEnd", noMessageEnd},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "count 101") c.words[2] = 101;
    Decoder d;
    EXPECT_EQ(DecodeBlock(d, WordsToBytes(c.words)), DecodeResult::Error);
    EXPECT_NE(d.state(), DecoderState::Complete);
    EXPECT_EQ(d.list().count, 0u);
  }
}

// A message is judged by its own declared total: lengths that run past it, or negative
// lengths, are refused at once, never by waiting for bytes that would be the next message's.
TEST(WireFormat, PayloadsBeyondTheDeclaredTotalAreMalformed) {
  const std::vector<uint8_t> next = EncodeMessage(6, {Param::Text16(u"the following request, long enough")});
  struct Case {
    const char* name;
    std::vector<uint64_t> words;
  };
  const Case cases[] = {
      // Ten code units need three payload words; the total leaves room for one.
      {"UTF-16 length past the total", RawMessage(6, {TypeWord(S16 | 25)}, {10, 0x41})},
      {"byte length past the total", RawMessage(6, {S8 | 23}, {100, 0x41})},
      {"huge length", RawMessage(6, {S8 | 26}, {0x7FFFFFFF, 0})},
      {"negative byte length", RawMessage(6, {S8 | 23}, {0xFFFFFFFF, 0})},
      {"negative UTF-16 length", RawMessage(6, {TypeWord(S16 | 25)}, {0x80000000, 0})},
      {"negative length of a dropped parameter", RawMessage(6, {S8 | 25}, {0xFFFFFFF0})},
      {"length runs into the trailer slot", RawMessage(6, {S8 | 23}, {9, 0x3837363534333231ull})},
      // A total too short for the type list would otherwise wait for words that are not there.
      {"total shorter than the type list", RawMessage(6, {2, 2, 2, 2}, {1, 2, 3, 4}, 8)},
      {"value words run into the trailer slot", RawMessage(6, {2, 2, 2}, {1, 2, 3}, 11)},
      {"string before a value that no longer fits", RawMessage(6, {S8 | 23, 2}, {8, 0x41, 5}, 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Alone in the buffer and with a valid message after it: the result is the same.
    for (bool followed : {false, true}) {
      std::vector<uint8_t> bytes = WordsToBytes(c.words);
      if (followed) bytes.insert(bytes.end(), next.begin(), next.end());
      Decoder d;
      EXPECT_EQ(DecodeBlock(d, bytes), DecodeResult::Error) << "followed: " << followed;
      EXPECT_NE(d.state(), DecoderState::Complete);
      EXPECT_EQ(d.list().count, 0u);
      EXPECT_EQ(d.list().id, 6);
    }
  }
}

TEST(WireFormat, UnusedDeclaredWordsAreNotChecked) {
  // The trailer is read right after the data, wherever the total put it.
  std::vector<uint64_t> w = RawMessage(6, {2}, {5}, 9);
  Decoder d;
  EXPECT_EQ(DecodeBlock(d, WordsToBytes(w)), DecodeResult::NeedMore);  // waits for the declared 9 words
  const uint64_t pad = 0;
  d.Append(reinterpret_cast<const uint8_t*>(&pad), 8);
  ASSERT_EQ(d.Decode(), DecodeResult::Done);
  EXPECT_EQ(d.list().params[0].value, 5);
  EXPECT_EQ(d.BufferedBytes(), 8u);
}

TEST(WireFormat, EncoderRefusesWhatItCannotWrite) {
  Encoder e;
  e.Open(2);
  const std::vector<uint64_t> before = e.Words();
  for (int32_t code : {0, 11, 21, 27, -1}) {
    Param p;
    p.type = code;
    EXPECT_FALSE(e.Add(p)) << code;
    EXPECT_EQ(e.Words(), before) << code;
  }
  Param a = Param::Int32(1), b = Param::Text16(u"x"), c = Param::Int32(3);
  EXPECT_TRUE(e.Add(a));
  EXPECT_TRUE(e.Add(b));
  const std::vector<uint64_t> full = e.Words();
  EXPECT_FALSE(e.Add(c));  // a third parameter would overwrite the first data word
  EXPECT_EQ(e.Words(), full);
  e.Finish(6);
  Decoder d;
  ASSERT_EQ(DecodeBlock(d, std::vector<uint8_t>(e.Bytes(), e.Bytes() + e.ByteCount())), DecodeResult::Done);
  EXPECT_EQ(d.list().params[1].string16, u"x");
}

TEST(WireFormat, EncoderIsReusableAcrossMessages) {
  Encoder e;
  e.Open(1);
  Param big = Param::Text16(Text(100, u'x'));
  ASSERT_TRUE(e.Add(big));
  e.Finish(7);
  e.Open(1);
  Param small = Param::Int32(9);
  ASSERT_TRUE(e.Add(small));
  e.Finish(7);
  EXPECT_EQ(e.Words(), RawMessage(7, {2}, {9}));
}

}  // namespace
