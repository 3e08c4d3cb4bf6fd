// SPDX-License-Identifier: Apache-2.0
// A reply whose text a source produces while it is written: the bytes on the pipe are those
// of the same message built whole, only cut into the channel's chunks; nothing is written
// when the text cannot be had or carried, and one chunk is all a large reply holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/hex.h"
#include "ipc/channel.h"
#include "support/memory_transport.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

namespace {

using MemChannel = ipc::Channel<MemoryTransport>;
constexpr size_t Chunk = MemChannel::StreamChunkBytes;

// The hexadecimal text of `bytes`, as the data-file read produces it; or, with `wide`, units
// whose high byte is set too, so that a byte-order slip shows.
class PatternText : public ipc::TextSource {
 public:
  PatternText(std::vector<uint8_t> bytes, bool wide, bool loads = true)
      : bytes_(std::move(bytes)), wide_(wide), loads_(loads) {}
  uint64_t Units() const override { return wide_ ? bytes_.size() : bytes_.size() * 2; }
  bool Load() override {
    ++loads;
    return loads_;
  }
  bool Produce(uint8_t* out, size_t units) noexcept override {
    if (loads == 0 || produced + units > Units()) misuse = true;
    if (misuse || produced + units > losesAt) return false;
    if (wide_) {
      for (size_t i = 0; i < units; ++i) {
        const char16_t u = WideUnit(produced + i);
        out[2 * i] = static_cast<uint8_t>(u & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(u >> 8);
      }
    } else {
      EncodeHexUtf16Le(bytes_.data(), produced, units, out);
    }
    produced += units;
    return true;
  }

  Text Whole() const {
    if (!wide_) return EncodeHexLower(bytes_.data(), bytes_.size());
    Text t;
    for (size_t i = 0; i < bytes_.size(); ++i) t.push_back(WideUnit(i));
    return t;
  }

  int loads = 0;
  size_t produced = 0;
  bool misuse = false;
  size_t losesAt = SIZE_MAX;  // the text is lost when asked for units beyond this one

 private:
  char16_t WideUnit(size_t i) const { return static_cast<char16_t>(bytes_[i] << 8 | (i * 7 & 0xFF)); }

  std::vector<uint8_t> bytes_;
  bool wide_;
  bool loads_;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
  return v;
}

int64_t SendStreamed(MemChannel& channel, int32_t status, ipc::TextSource& source) {
  Param head = Param::Int32(status);
  return ipc::MsgOut<MemChannel>::SendMsg(channel, MessageId::Reply, &head, 1, source);
}

std::vector<uint8_t> BuiltWhole(int32_t status, const Text& text) {
  Param params[2] = {Param::Int32(status), Param::Text16(text)};
  ipc::Encoder encoder;
  EXPECT_TRUE(encoder.Build(MessageId::Reply, params, 2));
  return std::vector<uint8_t>(encoder.Bytes(), encoder.Bytes() + encoder.ByteCount());
}

// Bytes of the reply before its text: header, two type words, the type list's end, the
// status and the text's length word.
constexpr size_t HeadBytes = 9 * 8;
// Text units that fill the first chunk exactly, with the head and the trailer.
constexpr size_t FillUnits = (Chunk - HeadBytes - 8) / 2;

TEST(StreamedReply, BytesAreThoseOfTheWholeMessageCutIntoFullChunks) {
  struct Case {
    const char* name;
    size_t size;  // file bytes for hexadecimal text, units for wide text
    bool wide;
  };
  const Case cases[] = {
      {"empty file", 0, false},
      {"one byte", 1, false},
      {"a chunk of text less one byte's digits", Chunk / 4 - 1, false},
      {"a chunk of text", Chunk / 4, false},
      {"a chunk of text and one byte more", Chunk / 4 + 1, false},
      {"fills the first chunk exactly", FillUnits / 2, false},
      {"the largest file a read returns (4 MiB)", 0x400000, false},
      {"one wide unit", 1, true},
      {"first chunk exactly, wide", FillUnits, true},
      {"first chunk and one unit", FillUnits + 1, true},
      {"odd units across many chunks, every padding", 3 * Chunk / 2 + 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PatternText source(Pattern(c.size), c.wide);
    MemoryTransport transport;
    MemChannel channel(&transport);
    ASSERT_EQ(SendStreamed(channel, 0, source), ipc::ResultHandled);
    EXPECT_FALSE(source.misuse) << "produced before loading or beyond the text";
    EXPECT_EQ(source.loads, 1);
    EXPECT_EQ(source.produced, source.Units());
    const std::vector<uint8_t> expected = BuiltWhole(0, source.Whole());
    ASSERT_EQ(transport.written().size(), expected.size());
    EXPECT_TRUE(transport.written() == expected) << "streamed bytes differ from the message built whole";
    // As few writes as the chunk allows: every one full but the last.
    const std::vector<size_t>& sizes = transport.writeSizes();
    ASSERT_EQ(sizes.size(), (expected.size() + Chunk - 1) / Chunk);
    for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], Chunk) << "write " << i;
    // One chunk is all the reply held; the words kept are those of its head.
    EXPECT_EQ(channel.RetainedStreamBytes(), Chunk);
    EXPECT_LE(channel.RetainedReplyBytes(), MemChannel::RetainedReplyLimit);
  }
}

TEST(StreamedReply, NothingIsWrittenWhenTheTextCannotBeHadOrCarried) {
  MemoryTransport transport;
  MemChannel channel(&transport);
  PatternText unloadable(Pattern(100), false, false);
  EXPECT_EQ(SendStreamed(channel, 0, unloadable), ipc::ResultTextUnfilled);
  EXPECT_EQ(unloadable.produced, 0u);

  // One unit more than a message of two parameters can carry: refused before it is loaded.
  const size_t tooMany = (ipc::MaxTotalWords - (HeadBytes / 8 + 1)) * 4 + 1;
  PatternText tooLarge(std::vector<uint8_t>(tooMany), true);
  EXPECT_EQ(SendStreamed(channel, 0, tooLarge), ipc::ResultEncodeFailed);
  EXPECT_EQ(tooLarge.loads, 0) << "loaded a text no message can carry";
  EXPECT_EQ(transport.writes(), 0u);
}

// The reply stops where its second chunk cannot be written or made, unfinished: the first
// chunk is all the peer gets, and no later chunk is begun.
TEST(StreamedReply, AFailedWriteOrALostTextStopsTheReply) {
  struct Case {
    const char* name;
    bool secondWriteFails;
    int64_t result;
    size_t writes;
  };
  const Case cases[] = {
      {"the second chunk cannot be written", true, ipc::ResultWriteFailed, 2},
      {"the text is lost while the second chunk is made", false, ipc::ResultTextLost, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryTransport transport;
    size_t writes = 0;
    transport.SetOnWrite([&] { transport.SetFailWrites(c.secondWriteFails && ++writes >= 2); });
    MemChannel channel(&transport);
    PatternText source(Pattern(Chunk), false);
    if (!c.secondWriteFails) source.losesAt = (Chunk - HeadBytes) / 2;  // the first chunk's units
    EXPECT_EQ(SendStreamed(channel, 0, source), c.result);
    EXPECT_EQ(transport.writes(), c.writes);
    EXPECT_EQ(transport.written().size(), Chunk);
  }
}

}  // namespace
