// SPDX-License-Identifier: Apache-2.0
// Large messages: payloads taken straight into their strings as they arrive, judged only
// once the declared total arrived, and no large buffer kept after them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

Text Letters(size_t units) {
  Text t(units, u'\0');
  for (size_t i = 0; i < units; ++i) t[i] = static_cast<char16_t>(u'A' + i % 26 + (i % 7 == 0 ? 0x100 : 0));
  return t;
}

// A string write: its text C stays a text (a data-file write's would be held as bytes).
std::vector<Param> LargeRequest(size_t units) {
  return {Param::Int32(2), Param::Int32(0), Param::Text16(u"software\\tarnvel"), Param::Text16(u"v"),
          Param::Text16(Letters(units))};
}

// Feeds `bytes` in pieces of `chunk`, decoding after each as the receive loop does (on whole
// words only); returns the last result and the largest retained buffer seen on the way.
DecodeResult FeedInChunks(Decoder& d, const std::vector<uint8_t>& bytes, size_t chunk, size_t& largestRetained) {
  largestRetained = 0;
  DecodeResult r = DecodeResult::NeedMore;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    d.Append(bytes.data() + at, std::min(chunk, bytes.size() - at));
    largestRetained = std::max(largestRetained, d.RetainedBytes());
    if (d.BufferedBytes() % 8 != 0) continue;
    r = d.Decode();
    if (r != DecodeResult::NeedMore) return r;
  }
  return r;
}

void ExpectSameList(const ParamList& a, const ParamList& b) {
  ASSERT_EQ(a.id, b.id);
  ASSERT_EQ(a.count, b.count);
  for (uint32_t i = 0; i < a.count; ++i) {
    EXPECT_EQ(a.params[i].type, b.params[i].type) << "parameter " << i;
    EXPECT_EQ(a.params[i].value, b.params[i].value) << "parameter " << i;
    EXPECT_TRUE(a.params[i].string8 == b.params[i].string8) << "parameter " << i;
    EXPECT_TRUE(a.params[i].string16 == b.params[i].string16) << "parameter " << i;
  }
}

TEST(LargeMessage, ArrivingPayloadGoesStraightIntoItsStringHoweverItIsSplit) {
  const std::vector<uint8_t> msg = EncodeMessage(6, LargeRequest(600000));  // 1.2 MB of text
  Decoder whole;
  whole.Append(msg.data(), msg.size());
  // Taken in while it went in, yet delivered (and its bytes given up) only by Decode.
  EXPECT_NE(whole.state(), DecoderState::Complete);
  EXPECT_EQ(whole.BufferedBytes(), msg.size());
  ASSERT_EQ(whole.Decode(), DecodeResult::Done);
  ASSERT_TRUE(whole.list().params[4].string16 == Letters(600000));
  // Blocks above the read size too, the whole message among them: the decoder takes them
  // in pieces itself.
  for (size_t chunk :
       {size_t{4096}, size_t{4093}, size_t{8}, size_t{3}, size_t{1000}, size_t{4097}, size_t{100001}, msg.size()}) {
    SCOPED_TRACE(chunk);
    Decoder d;
    size_t retained = 0;
    ASSERT_EQ(FeedInChunks(d, msg, chunk, retained), DecodeResult::Done);
    ASSERT_EQ(d.state(), DecoderState::Complete);
    EXPECT_EQ(d.BufferedBytes(), 0u);
    ExpectSameList(d.list(), whole.list());
    // The text never passed through the byte buffer: it holds at most a few reads.
    EXPECT_LT(retained, Decoder::RetainedBufferLimit) << "payload was staged in the byte buffer";
  }
}

// A string being taken in is at most a step longer than the bytes that arrived for it, so a
// declared payload that is never sent costs next to nothing; once whole it has its length.
TEST(LargeMessage, ArrivingPayloadIsHeldAsItArrivesToWithinAStep) {
  const size_t units = 3 * Decoder::CaptureStepBytes + 5;  // the last step is a short one
  for (ParamType kind : {String16, String8}) {
    SCOPED_TRACE(kind == String16 ? "String16" : "String8");
    std::vector<Param> params = LargeRequest(units);
    if (kind == String8) params[4] = Param::Bytes(std::string(units, 'q'), String8);
    const std::vector<uint8_t> msg = EncodeMessage(6, params);
    // Text C's payload is the message's last, before the trailer.
    const size_t payloadBytes = kind == String16 ? units * 2 : units;
    const size_t payloadStart = msg.size() - 8 - (payloadBytes + 7) / 8 * 8;
    Decoder d;
    size_t fed = 0;
    for (size_t piece : {size_t{4096}, size_t{1}, size_t{100000}, size_t{7}, size_t{65536}, msg.size()}) {
      const size_t n = std::min(piece, msg.size() - fed);
      d.Append(msg.data() + fed, n);
      fed += n;
      const Param& text = d.list().params[4];
      const size_t held = kind == String16 ? text.string16.size() * 2 : text.string8.size();
      const size_t arrived = fed > payloadStart ? fed - payloadStart : 0;
      EXPECT_LE(held, arrived + Decoder::CaptureStepBytes) << "after " << fed << " bytes";
    }
    ASSERT_EQ(d.Decode(), DecodeResult::Done);
    if (kind == String16) {
      EXPECT_TRUE(d.list().params[4].string16 == Letters(units));
    } else {
      EXPECT_EQ(d.list().params[4].string8, std::string(units, 'q'));
    }
  }
}

TEST(LargeMessage, CapturedPayloadsKeepTheirFamilyRules) {
  std::string bytes(50000, 'b');
  bytes[30000] = '\0';
  Text cwide = Letters(40000);
  cwide[25000] = u'\0';
  const std::vector<uint8_t> msg = EncodeMessage(6, {Param::Bytes(bytes, ByteArray), Param::Bytes(bytes, CString8),
                                                     Param::Text16(cwide, CString16), Param::Int32(9)});
  // A String16-flagged payload with a narrow code is dropped, captured or not.
  std::vector<uint64_t> data = {30000};
  data.resize(1 + 30000 * 2 / 8, 0x0041004100410041ull);
  data.push_back(5);
  std::vector<uint64_t> dropped = RawMessage(6, {TypeWord(ipc::String16Flag | 23), 2}, data);
  const std::vector<uint8_t> droppedBytes = WordsToBytes(dropped);
  for (size_t chunk : {size_t{4096}, size_t{7}, size_t{5003}, msg.size() + droppedBytes.size()}) {
    SCOPED_TRACE(chunk);
    Decoder d;
    size_t retained = 0;
    ASSERT_EQ(FeedInChunks(d, msg, chunk, retained), DecodeResult::Done);
    ASSERT_EQ(d.list().count, 4u);
    EXPECT_EQ(d.list().params[0].string8.size(), 50000u);
    EXPECT_EQ(d.list().params[1].string8, std::string(30000, 'b'));
    EXPECT_TRUE(d.list().params[2].string16 == cwide.substr(0, 25000));
    EXPECT_EQ(d.list().params[3].value, 9);

    Decoder e;
    ASSERT_EQ(FeedInChunks(e, droppedBytes, chunk, retained), DecodeResult::Done);
    ASSERT_EQ(e.list().count, 1u);
    EXPECT_EQ(e.list().params[0].type, Int32Kind2);
    EXPECT_EQ(e.list().params[0].value, 5);
  }
}

TEST(LargeMessage, FaultFoundEarlyIsReportedOnlyOnceTheDeclaredTotalArrived) {
  const uint64_t wide = TypeWord(ipc::String16Flag | 25);
  std::vector<uint64_t> filler(2000, 0x0041004100410041ull);
  const struct {
    const char* name;
    std::vector<uint64_t> types;
    std::vector<uint64_t> first;
  } cases[] = {
      {"undefined value code", {11, wide}, {0}},
      {"negative length", {wide, wide}, {0xFFFFFFFFull}},
      {"payload past the total", {wide, wide}, {0x100000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> data = c.first;
    data.insert(data.end(), filler.begin(), filler.end());
    const std::vector<uint8_t> bytes = WordsToBytes(RawMessage(6, c.types, data));
    Decoder d;
    d.Append(bytes.data(), bytes.size() - 8);
    EXPECT_EQ(d.Decode(), DecodeResult::NeedMore) << "judged before the declared total arrived";
    d.Append(bytes.data() + bytes.size() - 8, 8);
    EXPECT_EQ(d.Decode(), DecodeResult::Error);
    EXPECT_EQ(d.list().count, 0u);
    // Whole, followed by a good message: refused all the same, and refused again when asked
    // again (the block was decoded while it went in).
    const std::vector<uint8_t> good = EncodeMessage(6, {Param::Int32(1)});
    const std::vector<uint8_t> both = Concat({bytes, good});
    Decoder w;
    w.Append(both.data(), both.size());
    EXPECT_EQ(w.Decode(), DecodeResult::Error);
    EXPECT_EQ(w.Decode(), DecodeResult::Error);
    EXPECT_EQ(w.list().count, 0u);
  }
  // A refused header stays refused: the words after it are not read as a header of their own.
  const std::vector<uint8_t> next = EncodeMessage(6, LargeRequest(5000));
  std::vector<uint8_t> block(32, 0xEE);
  block.insert(block.end(), next.begin(), next.end());
  Decoder h;
  h.Append(block.data(), block.size());
  EXPECT_EQ(h.Decode(), DecodeResult::Error);
  EXPECT_EQ(h.Decode(), DecodeResult::Error);
}

TEST(LargeMessage, BufferReturnsToItsSmallSizeAfterALargeMessageAndIsReusedForSmallOnes) {
  const std::vector<uint8_t> large = EncodeMessage(6, LargeRequest(2 * 1024 * 1024));  // 4 MiB of text
  const std::vector<uint8_t> small = EncodeMessage(
      6, {Param::Int32(11), Param::Int32(0), Param::Text16(u"k"), Param::Text16(u""), Param::Text16(u"")});
  Decoder d;
  // Delivered in one block (as a large write into the buffer) with a small message behind it.
  const std::vector<uint8_t> both = Concat({large, small});
  d.Append(both.data(), both.size());
  ASSERT_EQ(d.Decode(), DecodeResult::Done);
  EXPECT_EQ(d.list().params[4].string16.size(), 2u * 1024 * 1024);
  EXPECT_LE(d.RetainedBytes(), Decoder::RetainedBufferLimit) << "the large message's buffer is still held";
  EXPECT_EQ(d.BufferedBytes(), small.size());
  d.Reset();
  ASSERT_EQ(d.Decode(), DecodeResult::Done) << "the message behind it survived the shrink";
  EXPECT_EQ(d.list().params[2].string16, u"k");
  d.Reset();

  // Ordinary messages keep using the buffer they have.
  d.Append(small.data(), small.size());
  ASSERT_EQ(d.Decode(), DecodeResult::Done);
  d.Reset();
  const size_t kept = d.RetainedBytes();
  EXPECT_GT(kept, 0u);
  for (int i = 0; i < 3; ++i) {
    d.Append(small.data(), small.size());
    ASSERT_EQ(d.Decode(), DecodeResult::Done);
    d.Reset();
    EXPECT_EQ(d.RetainedBytes(), kept);
  }
}

// The head, the payload sent after it and the tail are the bytes Add would have built.
std::vector<uint8_t> DeferredBytes(Encoder& e, const Text& text) {
  std::vector<uint8_t> bytes(e.Bytes(), e.Bytes() + e.ByteCount());
  for (char16_t u : text) {
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  uint8_t tail[Encoder::MaxTailBytes];
  const size_t n = e.Tail(tail);
  bytes.insert(bytes.end(), tail, tail + n);
  return bytes;
}

TEST(LargeMessage, DeferredString16IsRefusedWhereAddWouldBeAndWhenNotLast) {
  Encoder e;
  e.Open(2);
  EXPECT_FALSE(e.AddString16Deferred(4)) << "not the last parameter: the trailer follows the payload";
  Param first = Param::Int32(0);
  ASSERT_TRUE(e.Add(first));
  const std::vector<uint64_t> before = e.Words();
  // The largest text a message of these two parameters can carry: header, two types, the
  // type list's end, the integer, the length word and the trailer leave the rest to it.
  const uint64_t largest = (uint64_t{ipc::MaxTotalWords} - (4 + 2 + 1 + 1 + 1 + 1)) * 4;
  EXPECT_FALSE(e.AddString16Deferred(uint64_t{0x80000000})) << "length word overflows";
  EXPECT_FALSE(e.AddString16Deferred(largest + 1)) << "beyond the largest message";
  EXPECT_EQ(e.Words(), before);
  ASSERT_TRUE(e.AddString16Deferred(largest));
  e.Finish(7);
  EXPECT_EQ(e.Words()[3], uint64_t{ipc::MaxTotalWords}) << "the total counts the payload and the trailer";
  Param extra = Param::Int32(0);
  EXPECT_FALSE(e.Add(extra)) << "beyond the announced count";
}

}  // namespace

namespace {

// Stored words whose every byte is set: anything of them that reached a later message would
// show as 0xff where the encoder owes a zero or a value of its own.
ipc::WordStorage DirtyStorage(size_t words) {
  ipc::WordStorage storage(words, ~uint64_t{0});
  storage.clear();
  return storage;
}

std::vector<uint8_t> BytesOf(const Encoder& e) { return std::vector<uint8_t>(e.Bytes(), e.Bytes() + e.ByteCount()); }

TEST(LargeMessage, MessagesBuiltInReusedWordsCarryNothingOfEarlierOnes) {
  struct Case {
    const char* name;
    std::vector<Param> params;
  };
  const std::vector<Case> cases = {
      {"plain values", {Param::Int32(-1), Param::Char8Value(7), Param::Null(NullString16), Param::Pointer(5)}},
      {"text padded to its word", {Param::Int32(0), Param::Text16(u"abc")}},
      {"bytes padded to their word", {Param::Bytes("12345", String8), Param::Bytes("", ByteArray)}},
      {"large text", {Param::Int32(0), Param::Text16(Letters(70001), CString16)}},
  };
  ipc::WordStorage storage = DirtyStorage(200000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Param> fresh = c.params, reused = c.params;
    Encoder alone;
    ASSERT_TRUE(alone.Build(7, fresh.data(), static_cast<uint32_t>(fresh.size())));
    Encoder borrowing(PointerWidth::Bits64, storage);
    ASSERT_TRUE(borrowing.Build(7, reused.data(), static_cast<uint32_t>(reused.size())));
    EXPECT_EQ(BytesOf(borrowing), BytesOf(alone));
  }
  // A deferred text's head and tail, around every padding of its last word, over words a
  // larger message left; and a message without one has no tail.
  for (size_t units : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}}) {
    SCOPED_TRACE(units);
    const Text odd = Letters(units);
    Param status = Param::Int32(0), text = Param::Text16(odd);
    Encoder alone;
    alone.Open(2);
    ASSERT_TRUE(alone.Add(status));
    ASSERT_TRUE(alone.Add(text));
    alone.Finish(7);
    Encoder borrowing(PointerWidth::Bits64, storage);
    borrowing.Open(2);
    Param status2 = Param::Int32(0);
    ASSERT_TRUE(borrowing.Add(status2));
    ASSERT_TRUE(borrowing.AddString16Deferred(odd.size()));
    borrowing.Finish(7);
    EXPECT_EQ(DeferredBytes(borrowing, odd), BytesOf(alone));
  }
  uint8_t tail[Encoder::MaxTailBytes];
  Encoder plain;
  Param one = Param::Int32(1);
  ASSERT_TRUE(plain.Build(7, &one, 1));
  EXPECT_EQ(plain.Tail(tail), 0u);
}

TEST(LargeMessage, BorrowedWordsGoBackWithTheirMemory) {
  ipc::WordStorage storage;
  const uint8_t* first = nullptr;
  for (int i = 0; i < 3; ++i) {
    Encoder e(PointerWidth::Bits64, storage);
    e.Open(1);
    Param large = Param::Text16(Letters(1 << 20));
    ASSERT_TRUE(e.Add(large));
    e.Finish(7);
    if (first == nullptr) first = e.Bytes();
    EXPECT_EQ(e.Bytes(), first) << "a second large message of the same size allocated afresh";
  }
  EXPECT_TRUE(storage.empty());
  EXPECT_GE(storage.capacity(), size_t{1} << 18);
}

}  // namespace
