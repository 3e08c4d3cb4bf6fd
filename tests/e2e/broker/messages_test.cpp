// SPDX-License-Identifier: Apache-2.0
// Messages on the broker pipe as a host sends them: replies, what gets no reply, what ends
// the connection, and the broker's debugger lines (the broker runs under the debugger API).
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/e2e_support.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::Code;
using tarnvel::protocol::MessageId;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

const char kArgError[] = "!! svc:OnMsgArgCountError";

// A code without a row in the op table: its text A is judged as a registry key to read.
constexpr int32_t kUnservedOp = 0;
static_assert(tarnvel::protocol::FindOp(kUnservedOp) == nullptr, "the broker serves no op 0");

const Param kPing = Param::Int32(Code(RequestOp::Ping));

size_t CountLines(const BrokerProcess& p, const std::string& line) {
  std::vector<std::string> lines = p.DebugLines();
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

std::vector<Param> RequestParams(Param op, Param hive, Param a, Param b, Param c) {
  std::vector<Param> v;
  v.push_back(std::move(op));
  v.push_back(std::move(hive));
  v.push_back(std::move(a));
  v.push_back(std::move(b));
  v.push_back(std::move(c));
  return v;
}

void ExpectPong(HostConnection& conn) {
  Reply reply;
  ASSERT_EQ(e2e::Request(conn, RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(reply.text, T("pong"));
}

TEST(BrokerMessages, PingAnswersPongWhateverTheOtherInputs) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::Ping, 77, T("..\\x"), T("a\\b"), T("zz"), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(reply.text, T("pong"));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
  EXPECT_TRUE(b.process.DebugLines().empty());
}

// Requests (message 6) that the binding refuses.
struct DroppedCase {
  const char* name;
  std::vector<Param> (*params)();
};

const DroppedCase kDropped[] = {
    {"request with four parameters",
     [] {
       std::vector<Param> v =
           RequestParams(kPing, Param::Int32(0), Param::Text16(T("")), Param::Text16(T("")), Param::Text16(T("")));
       v.pop_back();
       return v;
     }},
    {"request with six parameters",
     [] {
       std::vector<Param> v =
           RequestParams(kPing, Param::Int32(0), Param::Text16(T("")), Param::Text16(T("")), Param::Text16(T("")));
       v.push_back(Param::Int32(0));
       return v;
     }},
    {"op code of kind 4",
     [] {
       return RequestParams(Param::Int32(Code(RequestOp::Ping), Int32Kind4), Param::Int32(0), Param::Text16(T("")),
                            Param::Text16(T("")), Param::Text16(T("")));
     }},
    {"hive selector of kind 1",
     [] {
       return RequestParams(kPing, Param::Int32(0, Int32Kind1), Param::Text16(T("")), Param::Text16(T("")),
                            Param::Text16(T("")));
     }},
    {"text C as a number",
     [] { return RequestParams(kPing, Param::Int32(0), Param::Text16(T("")), Param::Text16(T("")), Param::Int32(0)); }},
    {"text A as a CString16",
     [] {
       return RequestParams(kPing, Param::Int32(0), Param::Text16(T("x"), CString16), Param::Text16(T("")),
                            Param::Text16(T("")));
     }},
};

TEST(BrokerMessages, WrongCountOrTypeIsDroppedWithItsDebuggerLineAndTheNextRequestServed) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  std::vector<std::pair<const char*, std::pair<int32_t, std::vector<Param>>>> cases;
  for (const DroppedCase& c : kDropped) cases.push_back({c.name, {MessageId::Request, c.params()}});
  cases.push_back(
      {"plug-in pipe request with a kind-2 pid", {MessageId::PluginPipeRequest, {Param::Int32(1234, Int32Kind2)}}});
  cases.push_back({"plug-in pipe request with two parameters",
                   {MessageId::PluginPipeRequest, {Param::Int32(1234, Int32Kind4), Param::Int32(0, Int32Kind4)}}});
  size_t seen = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.first);
    ASSERT_TRUE(b.conn.Send(c.second.first, c.second.second));
    Message m;
    EXPECT_EQ(b.conn.ReadMessage(e2e::SilenceMs, m), CallResult::TimedOut) << "got message " << m.id;
    ++seen;
    // The line was written before the broker read on; the ping's reply proves it read on.
    ExpectPong(b.conn);
    EXPECT_EQ(CountLines(b.process, kArgError), seen);
  }
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerMessages, NullTextsAreServedAsEmptyTexts) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  // Op 0 judges text A first: an empty key is malformed whatever the hive.
  ASSERT_TRUE(b.conn.Send(MessageId::Request,
                          RequestParams(Param::Int32(kUnservedOp), Param::Int32(0), Param::Null(NullString16),
                                        Param::Null(NullString16), Param::Null(NullString16))));
  Reply reply;
  ASSERT_EQ(b.conn.ReadReply(e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  EXPECT_EQ(reply.text, T(""));
  EXPECT_EQ(CountLines(b.process, "[TarnvelBroker] denied: malformed key\n"), 1u);
  EXPECT_EQ(CountLines(b.process, kArgError), 0u);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerMessages, DeniedRequestAnswersDeniedAndWritesItsVerdict) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect(true));
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::WriteString, 1, T("software\\tarnvel\\e2e"), T("v"), T("x"), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  ASSERT_EQ(b.conn.Request(kUnservedOp, 5, T("software\\tarnvel\\x"), T(""), T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Denied));
  ASSERT_EQ(b.conn.Request(kUnservedOp, 0, T("software\\tarnvel\\x"), T(""), T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::BadArgument));
  std::vector<std::string> expected = {"[TarnvelBroker] denied: write to read-only hive\n",
                                       "[TarnvelBroker] denied: unknown hive\n"};
  EXPECT_EQ(b.process.DebugLines(), expected);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerMessages, TwoRequestsInOneWriteAreAnsweredInOrder) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  std::vector<uint8_t> both = HostConnection::EncodeRequest(Code(RequestOp::Ping), 0, T(""), T(""), T(""));
  std::vector<uint8_t> second = HostConnection::EncodeRequest(kUnservedOp, 0, T("software\\tarnvel\\x"), T(""), T(""));
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(b.conn.WriteRaw(both));
  Reply first, next;
  ASSERT_EQ(b.conn.ReadReply(e2e::ReplyMs, first), CallResult::Ok);
  ASSERT_EQ(b.conn.ReadReply(e2e::ReplyMs, next), CallResult::Ok);
  EXPECT_EQ(first.status, Code(RequestStatus::Success));
  EXPECT_EQ(first.text, T("pong"));
  EXPECT_EQ(next.status, Code(RequestStatus::BadArgument));
  EXPECT_EQ(next.text, T(""));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerMessages, RequestArrivingInSmallPiecesIsAnswered) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  std::vector<uint8_t> bytes = HostConnection::EncodeRequest(Code(RequestOp::Ping), 0, T("abc"), T(""), T(""));
  // Pieces of 5 bytes end in the middle of words.
  for (size_t i = 0; i < bytes.size(); i += 5) {
    std::vector<uint8_t> piece(bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + 5));
    ASSERT_TRUE(b.conn.WriteRaw(piece));
    if (i % 20 == 0) Sleep(5);
  }
  Reply reply;
  ASSERT_EQ(b.conn.ReadReply(e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.text, T("pong"));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerMessages, KeepAliveWithZeroIsSwallowed) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  ASSERT_TRUE(b.conn.Send(MessageId::KeepAlive, {Param::Int32(0)}));
  Message m;
  EXPECT_EQ(b.conn.ReadMessage(e2e::SilenceMs, m), CallResult::TimedOut);
  ExpectPong(b.conn);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

struct EndingCase {
  const char* name;
  int32_t id;
  Param param;
};

TEST(BrokerMessages, UnclaimedIdEndsTheConnectionWithoutReplyAndExitZero) {
  constexpr int32_t kUnclaimedId = 5;  // no message of the protocol
  const EndingCase cases[] = {
      {"id 5", kUnclaimedId, Param::Int32(0)},
      {"id 7, the reply id", MessageId::Reply, Param::Int32(0)},
      {"id 4, the plug-in reply id", MessageId::PluginPipeReply, Param::Int32(0)},
      {"keep-alive id with value 5", MessageId::KeepAlive, Param::Int32(5)},
  };
  for (const EndingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Broker b;
    ASSERT_TRUE(b.StartAndConnect());
    ASSERT_TRUE(b.conn.Send(c.id, {c.param}));
    Message m;
    EXPECT_EQ(b.conn.ReadMessage(e2e::ReplyMs, m), CallResult::Broken);
    DWORD code = 7;
    // Our end is still open: the broker ended on its own.
    ASSERT_TRUE(b.process.WaitForExit(e2e::StartMs, &code));
    EXPECT_EQ(code, 0u);
  }
}

TEST(BrokerMessages, MalformedMessageEndsTheConnection) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  std::vector<uint8_t> bytes = HostConnection::EncodeRequest(Code(RequestOp::Ping), 0, T(""), T(""), T(""));
  bytes[0] ^= 0xFF;  // header magic
  ASSERT_TRUE(b.conn.WriteRaw(bytes));
  Message m;
  EXPECT_EQ(b.conn.ReadMessage(e2e::ReplyMs, m), CallResult::Broken);
  DWORD code = 7;
  ASSERT_TRUE(b.process.WaitForExit(e2e::StartMs, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
