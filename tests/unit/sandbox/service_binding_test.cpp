// SPDX-License-Identifier: Apache-2.0
// The id-6 binding over an in-memory channel: check order (id, count, types), the
// converters, the reply shape, and what happens when the service operation throws.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>
#include "sandbox/service_base.h"
#include "support/debug_capture.h"
#include "support/memory_transport.h"

namespace {

using tarnvel::protocol::Code;

using MemChannel = ipc::Channel<MemoryTransport>;

// Codes without a row in the op table, which make the recording service misbehave.
constexpr int32_t kHugeReplyOp = 98;
constexpr int32_t kThrowingOp = 99;
// An id no service claims.
constexpr int32_t kUnclaimedId = 5;

// Answers with the sum of op code and hive as its status, so a reply shows that both arrived.
class RecordingService
    : public ServerTuple_5_2<MsgParamConverter<MessageId::Request>, MsgParamConverter<MessageId::Reply>,
                             RecordingService, MessageId::Reply, MessageId::Request, MemChannel> {
 public:
  void OnRequest(const int32_t op, const int32_t hive, const Text& a, const Text& b, const Text& c, int32_t& status,
                 Text& reply) override {
    calls.push_back({op, hive, a, b, c});
    if (op == kHugeReplyOp) {
      // One unit more than a whole message of MaxTotalWords words could carry.
      reply.assign(size_t{ipc::MaxTotalWords} * 4 + 1, u'x');
      status = Code(RequestStatus::Success);
      return;
    }
    if (op == kThrowingOp) {
      reply = u"half";
      throw std::runtime_error("boom");
    }
    status = op + hive;
    reply = a + b + c;
  }
  struct Call {
    int32_t op, hive;
    Text a, b, c;
  };
  std::vector<Call> calls;
};

class OneService : public ipc::ServiceLookup<MemChannel> {
 public:
  explicit OneService(MsgHandlerBase<MemChannel>* s) : service_(s) {}
  MsgHandlerBase<MemChannel>* GetService(int32_t id) override { return id == MessageId::Request ? service_ : nullptr; }

 private:
  MsgHandlerBase<MemChannel>* service_;
};

std::vector<uint8_t> Encode(int32_t id, std::vector<Param> params) {
  ipc::Encoder e;
  e.Open(static_cast<uint32_t>(params.size()));
  for (Param& p : params) EXPECT_TRUE(e.Add(p));
  e.Finish(id);
  return std::vector<uint8_t>(e.Bytes(), e.Bytes() + e.ByteCount());
}

std::vector<Param> Request(int32_t op, int32_t hive, Param a, Param b, Param c) {
  return {Param::Int32(op), Param::Int32(hive), std::move(a), std::move(b), std::move(c)};
}

std::vector<Param> Request(RequestOp op, int32_t hive, Param a, Param b, Param c) {
  return Request(Code(op), hive, std::move(a), std::move(b), std::move(c));
}

struct Reply {
  int32_t id;
  int32_t status;
  Text text;
};

std::vector<Reply> Replies(const std::vector<uint8_t>& bytes) {
  std::vector<Reply> out;
  ipc::Decoder d;
  d.Append(bytes.data(), bytes.size());
  while (d.BufferedBytes() > 0 && d.Decode() == ipc::DecodeResult::Done) {
    const ParamList& l = d.list();
    EXPECT_EQ(l.count, 2u);
    EXPECT_EQ(l.params[0].type, Int32Kind2);
    EXPECT_EQ(l.params[1].type, String16);
    out.push_back({l.id, static_cast<int32_t>(l.params[0].value), l.params[1].string16});
    d.list().Clear();
    d.Reset();
  }
  return out;
}

class BindingTest : public ::testing::Test {
 protected:
  int64_t Run(const std::vector<std::vector<uint8_t>>& messages) {
    for (const auto& m : messages) transport.QueueChunk(m);
    BadMessageRecv<MemChannel> bad;
    return channel.ReceiveLoop(&bad);
  }
  RecordingService service;
  OneService lookupImpl{&service};
  ipc::ServiceLookup<MemChannel>* lookup = &lookupImpl;
  MemoryTransport transport;
  MemChannel channel{&transport, &lookup};
  DebugCapture debug;
};

TEST_F(BindingTest, ConvertsTheFiveInputsAndRepliesWithId7) {
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(RequestOp::ReadDword, 4, Param::Text16(u"A"),
                                                    Param::Null(NullString16), Param::Text16(u"C")))}),
            ipc::ResultReadFailed);
  ASSERT_EQ(service.calls.size(), 1u);
  EXPECT_EQ(service.calls[0].a, u"A");
  EXPECT_EQ(service.calls[0].b, u"");
  std::vector<Reply> r = Replies(transport.written());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].id, MessageId::Reply);
  EXPECT_EQ(r[0].status, Code(RequestOp::ReadDword) + 4);
  EXPECT_EQ(r[0].text, u"AC");
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(BindingTest, WrongCountOrTypeIsDroppedWithOneLineAndTheNextRequestIsServed) {
  const Param text = Param::Text16(u"x");
  const Param read = Param::Int32(Code(RequestOp::ReadString));
  std::vector<std::vector<Param>> bad = {
      {read, Param::Int32(0), text, text},                                  // 4 params
      {read, Param::Int32(0), text, text, text, text},                      // 6 params
      Request(RequestOp::ReadString, 0, text, text, text),                  // fixed below
      {read, Param::Int32(0), Param::Text16(u"a", CString16), text, text},  // code 24
      {read, Param::Int32(0), text, text, Param::Bytes("x", String8)},      // code 23
      {read, Param::Int32(0), Param::Null(NullString8), text, text},        // code 8
  };
  bad[2][0] = Param::Int32(Code(RequestOp::ReadString), Int32Kind4);  // op code of the wrong integer kind
  std::vector<std::vector<uint8_t>> messages;
  for (auto& params : bad) messages.push_back(Encode(MessageId::Request, std::move(params)));
  messages.push_back(Encode(MessageId::Request, Request(RequestOp::Ping, 0, Param::Null(NullString16),
                                                        Param::Null(NullString16), Param::Null(NullString16))));
  EXPECT_EQ(Run(messages), ipc::ResultReadFailed);

  ASSERT_EQ(service.calls.size(), 1u) << "only the well-formed request reaches the service";
  EXPECT_EQ(service.calls[0].op, Code(RequestOp::Ping));
  std::vector<std::string> lines = debug.Lines();
  ASSERT_EQ(lines.size(), bad.size());
  for (const std::string& line : lines) EXPECT_EQ(line, "!! svc:OnMsgArgCountError");
  std::vector<Reply> r = Replies(transport.written());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status, Code(RequestOp::Ping) + 0);
}

TEST_F(BindingTest, AThrowingOperationStillGetsAFailureReplyWithAnEmptyText) {
  const Param t = Param::Text16(u"x");
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(kThrowingOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 1, t, t, t))}),
            ipc::ResultReadFailed);
  std::vector<Reply> r = Replies(transport.written());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].status, Code(RequestStatus::Failed));
  EXPECT_TRUE(r[0].text.empty());
  EXPECT_EQ(r[1].status, Code(RequestOp::ReadString) + 1);
  EXPECT_EQ(r[1].text, u"xxx");
}

TEST_F(BindingTest, AReplyTooLargeForAMessageIsAFailureAndTheNextRequestIsServed) {
  const Param t = Param::Text16(u"x");
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(kHugeReplyOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 1, t, t, t))}),
            ipc::ResultReadFailed);
  EXPECT_EQ(service.calls.size(), 2u);
  std::vector<Reply> r = Replies(transport.written());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].status, Code(RequestStatus::Failed));
  EXPECT_TRUE(r[0].text.empty());
  EXPECT_EQ(r[1].status, Code(RequestOp::ReadString) + 1);
  EXPECT_EQ(r[1].text, u"xxx");
}

TEST_F(BindingTest, AReplyThatCannotBeWrittenEndsTheLoop) {
  const Param t = Param::Text16(u"x");
  transport.SetFailWrites(true);
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(RequestOp::ReadString, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 0, t, t, t))}),
            ipc::ResultWriteFailed);
  EXPECT_EQ(service.calls.size(), 1u);
}

TEST_F(BindingTest, IdsNoServiceClaimsEndTheConnectionThroughTheDefaultHandler) {
  const Param t = Param::Text16(u"x");
  EXPECT_EQ(Run({Encode(kUnclaimedId, Request(RequestOp::ReadString, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 0, t, t, t))}),
            ipc::ResultUnclaimed);
  EXPECT_TRUE(service.calls.empty());
  EXPECT_TRUE(transport.written().empty());
}

TEST(MsgInTest, ForeignIdIsRefusedBeforeTheCount) {
  RecordingService service;
  MemoryTransport transport;
  MemChannel channel(&transport);
  DebugCapture debug;
  EXPECT_EQ(service.OnMsgIn(kUnclaimedId, channel, nullptr, 0), ipc::ResultNoHandler);
  EXPECT_TRUE(debug.Lines().empty());
}

}  // namespace
