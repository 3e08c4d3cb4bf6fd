// SPDX-License-Identifier: Apache-2.0
// The channel over a real named pipe: the receive loop on this thread, a host stand-in on
// another thread that talks through the client end.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ipc/channel.h"
#include "ipc/pipe_transport_win.h"
#include "pipe_helpers.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

namespace {

using PipeChannel = ipc::Channel<PipeTransportWithMessagePump>;

struct Message {
  int32_t id = -1;
  std::vector<Param> params;
};

std::vector<uint8_t> Encode(int32_t id, std::vector<Param> params) {
  ipc::Encoder encoder;
  encoder.Open(static_cast<uint32_t>(params.size()));
  for (Param& p : params) encoder.Add(p);
  encoder.Finish(id);
  return std::vector<uint8_t>(encoder.Bytes(), encoder.Bytes() + encoder.ByteCount());
}

// Reads messages from a transport until `want` arrived or the pipe ends.
std::vector<Message> ReadMessages(PipeTransportWithMessagePump& transport, ipc::Decoder& decoder, size_t want) {
  std::vector<Message> out;
  while (out.size() < want) {
    ipc::DecodeResult r = decoder.Decode();
    if (r == ipc::DecodeResult::Done) {
      Message m;
      m.id = decoder.list().id;
      m.params.assign(decoder.list().params, decoder.list().params + decoder.list().count);
      out.push_back(std::move(m));
      decoder.Reset();
      continue;
    }
    if (r == ipc::DecodeResult::Error) break;
    size_t count = 0;
    const uint8_t* bytes = transport.Read(count);
    if (bytes == nullptr) break;
    decoder.Append(bytes, count);
  }
  return out;
}

// Id 6 (op, text) is answered with id 7 (op + 1, the text with "!" appended).
class EchoHandler : public MessageHandler<PipeChannel> {
 public:
  int64_t OnMsgIn(int32_t id, PipeChannel& channel, Param* const* params, uint32_t count) override {
    if (id != MessageId::Request || count != 2) return ipc::ResultUnclaimed;
    ++served;
    return ipc::MsgOut<PipeChannel>::SendMsg(channel, MessageId::Reply,
                                             Param::Int32(static_cast<int32_t>(params[0]->value) + 1),
                                             Param::Text16(params[1]->string16 + u"!"));
  }
  bool OnMsgArgCountError(uint32_t) override { return false; }
  bool OnMsgArgConvertError(int32_t) override { return false; }
  int served = 0;
};

TEST(ChannelOverPipe, RoundTripsUntilTheHostCloses) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  ASSERT_TRUE(server.valid());
  const Text big(100000, u'w');  // a reply far larger than the pipe's buffers

  std::vector<Message> replies;
  size_t afterKeepAlive = 0;
  std::thread host([&] {
    PipeTransportWithMessagePump client;
    if (!client.Adopt(OpenClientEnd(name).release())) return;
    ipc::Decoder decoder;
    std::vector<uint8_t> block = Encode(MessageId::Request, {Param::Int32(1), Param::Text16(u"one")});
    const std::vector<uint8_t> second = Encode(MessageId::Request, {Param::Int32(2), Param::Text16(big)});
    block.insert(block.end(), second.begin(), second.end());
    if (!client.Write(block.data(), block.size())) return;
    replies = ReadMessages(client, decoder, 2);
    const std::vector<uint8_t> keepAlive = Encode(MessageId::KeepAlive, {Param::Int32(0)});
    const std::vector<uint8_t> third = Encode(MessageId::Request, {Param::Int32(3), Param::Text16(u"")});
    if (!client.Write(keepAlive.data(), keepAlive.size())) return;
    if (!client.Write(third.data(), third.size())) return;
    std::vector<Message> more = ReadMessages(client, decoder, 1);
    afterKeepAlive = more.size();
    replies.insert(replies.end(), more.begin(), more.end());
  });  // the client end closes here

  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  PipeChannel channel(&transport);
  EchoHandler handler;
  EXPECT_EQ(channel.ReceiveLoop(&handler), ipc::ResultReadFailed);
  host.join();

  EXPECT_EQ(handler.served, 3);
  EXPECT_EQ(afterKeepAlive, 1u);
  ASSERT_EQ(replies.size(), 3u);
  const int32_t ops[] = {2, 3, 4};
  const Text texts[] = {u"one!", big + u"!", u"!"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(replies[i].id, MessageId::Reply);
    ASSERT_EQ(replies[i].params.size(), 2u);
    EXPECT_EQ(replies[i].params[0].value, ops[i]);
    EXPECT_EQ(replies[i].params[1].string16, texts[i]);
  }
}

TEST(ChannelOverPipe, UnclaimedMessageEndsTheLoopWithoutAReply) {
  constexpr int32_t kUnclaimedId = 5;  // no message of the protocol
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  ASSERT_TRUE(server.valid());
  size_t repliesSeen = 99;
  std::thread host([&] {
    PipeTransportWithMessagePump client;
    if (!client.Adopt(OpenClientEnd(name).release())) return;
    const std::vector<uint8_t> unclaimed = Encode(kUnclaimedId, {Param::Int32(0)});
    if (!client.Write(unclaimed.data(), unclaimed.size())) return;
    ipc::Decoder decoder;
    repliesSeen = ReadMessages(client, decoder, 1).size();  // ends when the broker side closes
  });

  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  PipeChannel channel(&transport);
  BadMessageRecv<PipeChannel> bad;
  EXPECT_EQ(channel.ReceiveLoop(&bad), ipc::ResultUnclaimed);
  EXPECT_EQ(channel.currentMessageId(), kUnclaimedId);
  transport.Close();
  host.join();
  EXPECT_EQ(repliesSeen, 0u);
}

}  // namespace
