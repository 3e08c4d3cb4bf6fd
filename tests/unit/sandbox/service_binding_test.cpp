// SPDX-License-Identifier: Apache-2.0
// The id-6 binding over an in-memory channel: check order (id, count, types), the
// converters, the reply shape, and what happens when the service operation throws.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <optional>
#include <utility>
#include <vector>
#include "sandbox/service_base.h"
#include "support/debug_capture.h"
#include "support/memory_transport.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::sandbox;

namespace {

using tarnvel::protocol::Code;

using MemChannel = ipc::Channel<MemoryTransport>;

// A reply text produced while the reply is written: its units, then what Load does.
class FakeSource : public ipc::TextSource {
 public:
  enum class Loads { Text, Fails, Throws, LosesText };
  FakeSource(Text text, Loads loads, uint64_t units) : text_(std::move(text)), loads_(loads), units_(units) {}
  uint64_t Units() const override { return units_; }
  bool Load() override {
    if (loads_ == Loads::Throws) throw std::bad_alloc();
    return loads_ != Loads::Fails;
  }
  bool Produce(uint8_t* out, size_t units) noexcept override {
    if (loads_ == Loads::LosesText) return false;
    for (size_t i = 0; i < units; ++i, ++at_) {
      const char16_t u = at_ < text_.size() ? text_[at_] : u'?';
      out[2 * i] = static_cast<uint8_t>(u & 0xFF);
      out[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
    return true;
  }

 private:
  Text text_;
  Loads loads_;
  uint64_t units_;
  size_t at_ = 0;
};

// Codes without a row in the op table, which make the recording service misbehave.
constexpr int32_t kHugeReplyOp = 98;
constexpr int32_t kThrowingOp = 99;
// Codes whose reply text a source produces: it loads, fails to, cannot fit, or throws.
constexpr int32_t kProducedOp = 97;
constexpr int32_t kUnfilledOp = 96;
constexpr int32_t kProducedTooLongOp = 95;
constexpr int32_t kProducerThrowsOp = 94;
constexpr int32_t kProducerLosesOp = 93;
// An id no service claims.
constexpr int32_t kUnclaimedId = 5;

// Answers with the sum of op code and hive as its status, so a reply shows that both arrived.
class RecordingService
    : public ServerTuple_5_2<MsgParamConverter<MessageId::Request>, MsgParamConverter<MessageId::Reply>,
                             RecordingService, MessageId::Reply, MessageId::Request, MemChannel> {
 public:
  void OnRequest(const RequestInputs& in, int32_t& status, ipc::ReplyBody& reply) override {
    const int32_t op = in.opCode;
    const int32_t hive = in.hiveSelector;
    const Text &a = in.textA, &b = in.textB, &c = in.textC;
    calls.push_back({op, hive, a, b, c});
    texts = {&in.textA, &in.textB, &in.textC};
    data = &in.dataC;
    datas.push_back(in.dataC);
    EXPECT_TRUE(reply.text.empty() && !reply.source) << "every request starts with an empty reply";
    // One unit more than a whole message of MaxTotalWords words could carry.
    const uint64_t tooLong = uint64_t{ipc::MaxTotalWords} * 4 + 1;
    status = Code(RequestStatus::Success);
    switch (op) {
      case kHugeReplyOp:
        reply.text.assign(static_cast<size_t>(tooLong), u'x');
        return;
      case kThrowingOp:
        reply.text = u"half";
        throw std::runtime_error("boom");
      case kProducedOp:
        reply.source.reset(new FakeSource(a + b + c, FakeSource::Loads::Text, (a + b + c).size()));
        return;
      case kUnfilledOp:
        reply.text = u"ignored";
        reply.source.reset(new FakeSource(Text(), FakeSource::Loads::Fails, 4));
        reply.unloadedStatus = Code(RequestStatus::NotFound);
        return;
      case kProducedTooLongOp:
        reply.source.reset(new FakeSource(Text(), FakeSource::Loads::Text, tooLong));
        return;
      case kProducerThrowsOp:
        reply.source.reset(new FakeSource(Text(), FakeSource::Loads::Throws, 4));
        return;
      case kProducerLosesOp:
        reply.source.reset(new FakeSource(Text(), FakeSource::Loads::LosesText, 4));
        return;
      default:
        status = op + hive;
        reply.text = a + b + c;
    }
  }
  struct Call {
    int32_t op, hive;
    Text a, b, c;
  };
  std::vector<Call> calls;
  std::vector<const Text*> texts;                   // the last request's, alive until its reply is sent
  const std::optional<DecodedHex>* data = nullptr;  // and its data, when held as bytes
  std::vector<std::optional<DecodedHex>> datas;     // every request's data, in order
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

TEST_F(BindingTest, AMessageOfAnotherIdIsRefusedUnread) {
  Param op = Param::Int32(Code(RequestOp::Ping)), text = Param::Text16(u"x");
  Param* args[] = {&op, &op, &text, &text, &text};
  EXPECT_EQ(service.OnMsgIn(MessageId::PluginPipeRequest, channel, args, 5), ipc::ResultNoHandler);
  EXPECT_TRUE(service.calls.empty());
  EXPECT_EQ(transport.writes(), 0u);
  EXPECT_EQ(service.OnMsgIn(MessageId::Request, channel, args, 5), ipc::ResultHandled);
  EXPECT_EQ(transport.writes(), 1u);
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
  EXPECT_EQ(debug.Lines(), std::vector<std::string>{"[TarnvelBroker] request threw; reported as failed\n"});
}

// A text produced into the message: written as the same reply a text would give; a source
// that fails, cannot fit or throws turns into a status and an empty text, and the next
// request is served. One that loses its text once its reply has begun cannot turn into a
// status: the connection ends there, and no reply is finished without the source's text.
TEST_F(BindingTest, AProducedTextIsTheReplyAndItsFailuresAreStatuses) {
  const Param t = Param::Text16(u"ab");
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(kProducedOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(kUnfilledOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(kProducedTooLongOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(kProducerThrowsOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 1, t, t, t)),
                 Encode(MessageId::Request, Request(kProducerLosesOp, 0, t, t, t)),
                 Encode(MessageId::Request, Request(RequestOp::ReadString, 1, t, t, t))}),
            ipc::ResultTextLost);
  EXPECT_EQ(service.calls.size(), 6u) << "a request was served after the lost text";
  std::vector<Reply> r = Replies(transport.written());
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].status, Code(RequestStatus::Success));
  EXPECT_EQ(r[0].text, u"ababab");
  EXPECT_EQ(r[1].status, Code(RequestStatus::NotFound)) << "the reply's status for a source that cannot load";
  EXPECT_EQ(r[1].text, u"");
  EXPECT_EQ(r[2].status, Code(RequestStatus::Failed)) << "too long for any message";
  EXPECT_EQ(r[2].text, u"");
  EXPECT_EQ(r[3].status, Code(RequestStatus::Failed)) << "thrown while loading";
  EXPECT_EQ(r[3].text, u"");
  EXPECT_EQ(r[4].status, Code(RequestOp::ReadString) + 1);
  EXPECT_EQ(r[4].text, u"ababab");
  EXPECT_EQ(debug.Lines(), std::vector<std::string>{"[TarnvelBroker] request threw; reported as failed\n"});
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

// Once the host has its answer, the broker holds nothing more of the request: its texts
// (a large write's data above all) are given back before the reply is written, whichever
// way the reply is made.
TEST_F(BindingTest, TheRequestsTextsAreGivenBackBeforeTheReplyIsWritten) {
  const Param large = Param::Text16(Text(5000, u'5'));
  size_t largestHeld = 0;
  const Param largeHex = Param::Text16(Text(5000, u'a'));
  transport.SetOnWrite([&] {
    for (const Text* t : service.texts) largestHeld = std::max(largestHeld, t->capacity());
    if (service.data->has_value()) largestHeld = std::max(largestHeld, (*service.data)->bytes.capacity());
  });
  EXPECT_EQ(Run({Encode(MessageId::Request, Request(RequestOp::ReadString, 0, large, large, large)),
                 Encode(MessageId::Request, Request(kProducedOp, 0, large, large, large)),
                 Encode(MessageId::Request, Request(kThrowingOp, 0, large, large, large)),
                 Encode(MessageId::Request, Request(RequestOp::WriteAppDataFile, 0, large, large, largeHex))}),
            ipc::ResultReadFailed);
  ASSERT_EQ(Replies(transport.written()).size(), 4u);
  ASSERT_TRUE(service.datas.back().has_value());
  EXPECT_EQ(service.datas.back()->bytes.size(), 2500u);
  EXPECT_LT(largestHeld, size_t{2500});
}

// A data-file write's text C reaches the service as the bytes its digits spell, however its
// message was cut; every other text, and a write's null C, stays a text.
TEST_F(BindingTest, AWritesDataArrivesAsTheBytesItsDigitsSpell) {
  const Param path = Param::Text16(u"p");
  const Param none = Param::Null(NullString16);
  Text longHex;
  for (int i = 0; i < 3000; ++i) longHex += u"0123456789abcdefABCDEF"[i % 22];
  std::vector<uint8_t> longBytes;
  ASSERT_TRUE(DecodeHex(longHex, longBytes));
  struct Case {
    int32_t op;
    Param c;
    bool held, wellFormed;
    std::vector<uint8_t> bytes;
    Text text;
  };
  const Case cases[] = {
      {Code(RequestOp::WriteAppDataFile), Param::Text16(u"00fFa5"), true, true, {0x00, 0xFF, 0xA5}, u""},
      {Code(RequestOp::WriteAppDataFile), Param::Text16(longHex), true, true, longBytes, u""},
      {Code(RequestOp::WriteAppDataFile), Param::Text16(longHex + u"g"), true, false, {}, u""},
      {Code(RequestOp::WriteAppDataFile), Param::Text16(u"abc"), true, false, {}, u""},
      {Code(RequestOp::WriteAppDataFile), Param::Text16(u""), true, true, {}, u""},
      {Code(RequestOp::WriteAppDataFile), none, false, false, {}, u""},
      {Code(RequestOp::WriteString), Param::Text16(u"00fFa5"), false, false, {}, u"00fFa5"},
      {Code(RequestOp::ReadAppDataFile), Param::Text16(longHex), false, false, {}, longHex},
  };
  std::vector<uint8_t> stream;
  for (const Case& c : cases) {
    const std::vector<uint8_t> m = Encode(MessageId::Request, Request(c.op, 0, path, none, c.c));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  // Whole, and cut into reads of 1, 3 and 509 bytes.
  for (size_t piece : {stream.size(), size_t{1}, size_t{3}, size_t{509}}) {
    SCOPED_TRACE(piece);
    MemoryTransport t;
    t.QueueSplit(stream, piece);
    RecordingService s;
    OneService lookup(&s);
    ipc::ServiceLookup<MemChannel>* ref = &lookup;
    MemChannel channel(&t, &ref);
    EXPECT_EQ(channel.ReceiveLoop(nullptr), ipc::ResultReadFailed);
    ASSERT_EQ(s.calls.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(s.calls[i].c, cases[i].text);
      ASSERT_EQ(s.datas[i].has_value(), cases[i].held);
      if (!cases[i].held) continue;
      EXPECT_EQ(s.datas[i]->wellFormed, cases[i].wellFormed);
      EXPECT_EQ(s.datas[i]->bytes, cases[i].bytes);
    }
  }
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
