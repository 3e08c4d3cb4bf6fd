// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/debug_line.h"
#include "ipc/channel.h"
#include "support/debug_capture.h"
#include "support/memory_transport.h"
#include "wire_words.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

namespace {

using MemChannel = ipc::Channel<MemoryTransport>;
using Handler = MsgHandlerBase<MemChannel>;

struct Message {
  int32_t id;
  std::vector<Param> params;
};

std::vector<Message> DecodeAll(const std::vector<uint8_t>& bytes) {
  std::vector<Message> out;
  ipc::Decoder d;
  d.Append(bytes.data(), bytes.size());
  while (d.Decode() == ipc::DecodeResult::Done) {
    out.push_back({d.list().id, std::vector<Param>(d.list().params, d.list().params + d.list().count)});
    d.Reset();
  }
  EXPECT_EQ(d.BufferedBytes(), 0u) << "replies end in a partial or malformed message";
  return out;
}

class TableLookup : public ipc::ServiceLookup<MemChannel> {
 public:
  std::map<int32_t, Handler*> table;
  Handler* GetService(int32_t id) override {
    auto it = table.find(id);
    return it == table.end() ? nullptr : it->second;
  }
};

// Keeps a copy of every message and, unless told otherwise, answers id + 1 with
// (count, id); `result` is what OnMsgIn returns after a successful reply.
class RecordingHandler : public MessageHandler<MemChannel> {
 public:
  struct Seen {
    int32_t id;
    std::vector<Param> params;
    size_t bytesWrittenBefore;
  };
  std::vector<Seen> seen;
  bool reply = true;
  int64_t result = ipc::ResultHandled;
  std::function<void()> onMessage;

  int64_t OnMsgIn(int32_t id, MemChannel& channel, Param* const* params, uint32_t count) override {
    Seen s{id, {}, channel.transport()->written().size()};
    for (uint32_t i = 0; i < count; ++i) s.params.push_back(*params[i]);
    seen.push_back(std::move(s));
    if (onMessage) onMessage();
    if (reply) {
      const int64_t sent = ipc::MsgOut<MemChannel>::SendMsg(channel, id + 1, Param::Int32(static_cast<int32_t>(count)),
                                                            Param::Int32(id));
      if (sent != ipc::ResultHandled) return sent;
    }
    return result;
  }
  bool OnMsgArgCountError(uint32_t) override { return false; }
  bool OnMsgArgConvertError(int32_t) override { return false; }
};

// Codes of the requests the tests send.
constexpr int32_t kToyOp = 4;
constexpr int32_t kOtherToyOp = 21;

std::vector<uint8_t> Request(int32_t op, Param text) {
  return EncodeMessage(MessageId::Request, {Param::Int32(op), std::move(text)});
}

TEST(Channel, EndCodes) {
  struct Case {
    const char* name;
    std::vector<uint8_t> stream;
    bool withDefault;
    bool failWrites;
    int64_t expected;
    int32_t lastId;
  };
  std::vector<uint64_t> badMagic = RawMessage(6, {2}, {1});
  badMagic[0] = 0x12345678;
  std::vector<Param> tooMany(21, Param::Int32(0));
  std::vector<uint8_t> truncated = EncodeMessage(9, {Param::Text16(u"cut short")});
  truncated.resize(43);
  const Case cases[] = {
      {"peer closed before anything arrived", {}, true, false, ipc::ResultReadFailed, -1},
      {"peer closed after a served message", EncodeMessage(9, {Param::Int32(1)}), true, false, ipc::ResultReadFailed,
       9},
      {"peer closed inside a message", truncated, true, false, ipc::ResultReadFailed, -1},
      {"malformed header", WordsToBytes(badMagic), true, false, ipc::ResultMalformed, -1},
      {"malformed: 21 parameters", EncodeMessage(8, tooMany), true, false, ipc::ResultMalformed, 8},
      {"unclaimed id, default handler", EncodeMessage(5, {Param::Int32(0)}), true, false, ipc::ResultUnclaimed, 5},
      {"unclaimed id, no default handler", EncodeMessage(5, {Param::Int32(0)}), false, false, ipc::ResultNoHandler, 5},
      {"reply cannot be written", EncodeMessage(9, {Param::Int32(1)}), true, true, ipc::ResultWriteFailed, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryTransport transport;
    if (!c.stream.empty()) transport.QueueChunk(c.stream);
    transport.SetFailWrites(c.failWrites);
    RecordingHandler service;
    TableLookup lookup;
    lookup.table[9] = &service;
    ipc::ServiceLookup<MemChannel>* current = &lookup;
    MemChannel channel(&transport, &current);
    BadMessageRecv<MemChannel> bad;
    EXPECT_EQ(channel.ReceiveLoop(c.withDefault ? &bad : nullptr), c.expected);
    EXPECT_EQ(channel.currentMessageId(), c.lastId);
    if (c.expected != ipc::ResultReadFailed) {
      EXPECT_TRUE(transport.written().empty());
    }
  }
}

TEST(Channel, ReplyThatCannotBeEncodedEndsTheLoopWithNothingWritten) {
  class BadReply : public MessageHandler<MemChannel> {
   public:
    int64_t OnMsgIn(int32_t, MemChannel& channel, Param* const*, uint32_t) override {
      Param undefined;
      undefined.type = 11;
      return ipc::MsgOut<MemChannel>::SendMsg(channel, 7, Param::Int32(0), std::move(undefined));
    }
    bool OnMsgArgCountError(uint32_t) override { return false; }
    bool OnMsgArgConvertError(int32_t) override { return false; }
  } handler;
  MemoryTransport transport;
  transport.QueueChunk(Concat({EncodeMessage(6, {Param::Int32(0)}), EncodeMessage(6, {Param::Int32(0)})}));
  MemChannel channel(&transport);
  EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultEncodeFailed);
  EXPECT_EQ(transport.writes(), 0u);
}

TEST(Channel, HandlerResultEndsTheLoop) {
  MemoryTransport transport;
  transport.QueueChunk(Concat({EncodeMessage(6, {Param::Int32(0)}), EncodeMessage(6, {Param::Int32(1)})}));
  RecordingHandler handler;
  handler.result = 42;
  MemChannel channel(&transport);
  EXPECT_EQ(channel.ReceiveLoop(&handler), 42);
  EXPECT_EQ(handler.seen.size(), 1u);
  EXPECT_EQ(DecodeAll(transport.written()).size(), 1u);
}

TEST(Channel, KeepAliveWithValueZeroIsSwallowed) {
  struct Case {
    const char* name;
    std::vector<uint8_t> first;
    bool swallowed;
  };
  const Case cases[] = {
      {"id 1, value 0", EncodeMessage(MessageId::KeepAlive, {Param::Int32(0)}), true},
      {"id 1, value 0 of another kind", EncodeMessage(MessageId::KeepAlive, {Param::Int32(0, Int32Kind4)}), true},
      {"id 1, value 5", EncodeMessage(MessageId::KeepAlive, {Param::Int32(5)}), false},
      {"id 1, two parameters", EncodeMessage(MessageId::KeepAlive, {Param::Int32(0), Param::Int32(0)}), false},
      {"id 2, value 0", EncodeMessage(2, {Param::Int32(0)}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryTransport transport;
    transport.QueueChunk(c.first);
    transport.QueueChunk(EncodeMessage(9, {Param::Int32(3)}));
    RecordingHandler service;
    TableLookup lookup;
    lookup.table[9] = &service;
    ipc::ServiceLookup<MemChannel>* current = &lookup;
    MemChannel channel(&transport, &current);
    BadMessageRecv<MemChannel> bad;
    const int64_t result = channel.ReceiveLoop(&bad);
    if (c.swallowed) {
      EXPECT_EQ(result, ipc::ResultReadFailed);
      ASSERT_EQ(service.seen.size(), 1u);
      EXPECT_EQ(service.seen[0].id, 9);
      EXPECT_EQ(DecodeAll(transport.written()).size(), 1u);  // only the reply to 9
    } else {
      EXPECT_EQ(result, ipc::ResultUnclaimed);
      EXPECT_TRUE(service.seen.empty());
      EXPECT_TRUE(transport.written().empty());
    }
  }
}

TEST(Channel, TwoRequestsInOneBlockAreAnsweredInOrder) {
  MemoryTransport transport;
  transport.QueueChunk(
      Concat({EncodeMessage(9, {Param::Int32(1)}), EncodeMessage(11, {Param::Int32(1), Param::Int32(2)})}));
  RecordingHandler handler;
  MemChannel channel(&transport);
  EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultReadFailed);
  ASSERT_EQ(handler.seen.size(), 2u);
  EXPECT_EQ(handler.seen[0].id, 9);
  EXPECT_EQ(handler.seen[1].id, 11);
  // The first answer was written before the second request reached its handler, and the
  // second request came from the buffer, not from another read.
  EXPECT_EQ(handler.seen[0].bytesWrittenBefore, 0u);
  EXPECT_EQ(handler.seen[1].bytesWrittenBefore, transport.writeSizes().at(0));
  EXPECT_EQ(transport.reads(), 2u);  // the block, then the closed peer
  const std::vector<Message> replies = DecodeAll(transport.written());
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].id, 10);
  EXPECT_EQ(replies[0].params[0].value, 1);
  EXPECT_EQ(replies[1].id, 12);
  EXPECT_EQ(replies[1].params[0].value, 2);
  EXPECT_EQ(transport.writeSizes().size(), 2u);  // one Write per reply
}

TEST(Channel, MessagesSplitAnywhereAreReassembled) {
  const std::vector<uint8_t> stream =
      Concat({EncodeMessage(9, {Param::Text16(u"first, a text of some length"), Param::Int32(-3)}),
              EncodeMessage(MessageId::KeepAlive, {Param::Int32(0)}),
              EncodeMessage(11, {Param::Bytes(std::string(300, 'b')), Param::Pointer(0x1234)})});
  for (size_t size : {1u, 3u, 7u, 13u, 40u, 4096u}) {
    SCOPED_TRACE(size);
    MemoryTransport transport;
    transport.QueueSplit(stream, size);
    RecordingHandler handler;
    MemChannel channel(&transport);
    EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultReadFailed);
    ASSERT_EQ(handler.seen.size(), 2u);
    EXPECT_EQ(handler.seen[0].params[0].string16, u"first, a text of some length");
    EXPECT_EQ(handler.seen[0].params[1].value, -3);
    EXPECT_EQ(handler.seen[1].params[0].string8, std::string(300, 'b'));
    EXPECT_EQ(handler.seen[1].params[1].value, 0x1234);
    EXPECT_EQ(transport.pendingChunks(), 0u);
  }
}

TEST(Channel, ReadsGrowWithWhatArrivedUpToWhatIsAnnounced) {
  constexpr uint64_t Small = ipc::SmallReadBytes;
  constexpr uint64_t Large = ipc::LargeReadBytes;
  constexpr uint64_t Declared64MiB = uint64_t{ipc::MaxTotalWords} * 8;
  struct Case {
    const char* name;
    uint64_t announced, arrived;
    size_t limit;
  };
  const Case cases[] = {
      {"no header yet", 0, 0, Small},
      {"a short message", 200, 32, Small},
      {"one small read still announced", Small + 32, 32, Small},
      {"64 MiB announced, one small read arrived", Declared64MiB, Small, Small},
      {"as much again as arrived", Declared64MiB, 3 * Small, 3 * Small},
      {"never more than a large read", Declared64MiB, 1 << 20, Large},
      {"no further than the message's end", 1 << 20, (1 << 20) - 10000, 10000},
      {"the next message's bytes arrived already", 200, 400, Small},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ipc::ReadLimit(c.announced, c.arrived), c.limit);
  }
}

TEST(Channel, LongMessageComesInLargeReads) {
  const std::string payload(1 << 20, 'p');
  const std::vector<uint8_t> stream =
      Concat({EncodeMessage(9, {Param::Bytes(payload)}), EncodeMessage(11, {Param::Int32(5)})});
  MemoryTransport transport;
  transport.QueueChunk(stream);  // as a pipe holding all of it: each read takes what it asks
  RecordingHandler handler;
  MemChannel channel(&transport);
  EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultReadFailed);
  ASSERT_EQ(handler.seen.size(), 2u);
  EXPECT_EQ(handler.seen[0].params[0].string8, payload);
  EXPECT_EQ(handler.seen[1].params[0].value, 5);
  // 4 KiB, then as much again as arrived, up to 256 KiB: 10 reads for the first MiB rather
  // than 256. The rest of the message is less than a small read, which takes the next
  // message too; then the closed end.
  const std::vector<size_t> limits = {4096,   4096,   8192,   16384,  32768, 65536,
                                      131072, 262144, 262144, 262144, 4096,  4096};
  EXPECT_EQ(transport.readLimits(), limits);
}

TEST(Channel, ServiceLookupIsReadAfreshForEveryMessage) {
  MemoryTransport transport;
  transport.QueueChunk(Concat({EncodeMessage(9, {Param::Int32(1)}), EncodeMessage(9, {Param::Int32(2)})}));
  RecordingHandler service;
  TableLookup lookup;
  lookup.table[9] = &service;
  ipc::ServiceLookup<MemChannel>* current = nullptr;
  RecordingHandler fallback;
  fallback.onMessage = [&] { current = &lookup; };
  MemChannel channel(&transport, &current);
  EXPECT_EQ(channel.ReceiveLoop(&fallback), ipc::ResultReadFailed);
  EXPECT_EQ(fallback.seen.size(), 1u);
  EXPECT_EQ(service.seen.size(), 1u);
}

TEST(Channel, ReplyFailureFromAServiceEndsTheLoop) {
  MemoryTransport transport;
  transport.QueueChunk(Concat({Request(kToyOp, Param::Text16(u"a")), Request(kOtherToyOp, Param::Text16(u"b"))}));
  transport.SetFailWrites(true);
  RecordingHandler service;
  TableLookup lookup;
  lookup.table[MessageId::Request] = &service;
  ipc::ServiceLookup<MemChannel>* current = &lookup;
  MemChannel channel(&transport, &current);
  EXPECT_EQ(channel.ReceiveLoop(nullptr), ipc::ResultWriteFailed);
  EXPECT_EQ(transport.writes(), 1u);
}

}  // namespace

namespace {

// Replies of every size are built in the channel's words; a small reply's words stay for the
// next, a large one's are given back as soon as its message is answered, and nothing stays
// once the loop has ended.
TEST(Channel, ReplyWordsStayForSmallRepliesAndLeaveAfterALargeOne) {
  struct Sized : MessageHandler<MemChannel>, ipc::MsgOut<MemChannel> {
    std::vector<size_t> retainedAtStart;
    int64_t OnMsgIn(int32_t id, MemChannel& channel, Param* const* params, uint32_t) override {
      retainedAtStart.push_back(channel.RetainedReplyBytes());
      return SendMsg(channel, id + 1, Param::Int32(0), Param::Bytes(std::string(params[0]->value, 'x')));
    }
    bool OnMsgArgCountError(uint32_t) override { return false; }
    bool OnMsgArgConvertError(int32_t) override { return false; }
  } handler;
  const size_t large = 1 << 20;
  MemoryTransport transport;
  transport.QueueChunk(
      Concat({EncodeMessage(1, {Param::Int32(5)}), EncodeMessage(2, {Param::Int32(5)}),
              EncodeMessage(3, {Param::Int32(static_cast<int32_t>(large))}), EncodeMessage(4, {Param::Int32(5)})}));
  MemChannel channel(&transport);
  EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultReadFailed);
  ASSERT_EQ(handler.retainedAtStart.size(), 4u);
  EXPECT_EQ(handler.retainedAtStart[0], 0u);
  EXPECT_GT(handler.retainedAtStart[1], 0u) << "a small reply's words were not kept";
  EXPECT_EQ(handler.retainedAtStart[2], handler.retainedAtStart[1]);
  EXPECT_EQ(handler.retainedAtStart[3], 0u) << "a large reply's words stayed after it was answered";
  EXPECT_EQ(channel.RetainedReplyBytes(), 0u);
  const std::vector<Message> replies = DecodeAll(transport.written());
  ASSERT_EQ(replies.size(), 4u);
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].id, static_cast<int32_t>(i + 2));
    EXPECT_EQ(replies[i].params[1].string8, std::string(i == 2 ? large : 5, 'x'));
  }
}

}  // namespace
