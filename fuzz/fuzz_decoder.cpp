// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes through the decoder and the receive loop.
// Input: one control byte (bits 0-5 seed the chunking, bit 6 makes writes fail, bit 7
// selects 32-bit handles), then the byte stream as it would arrive on the pipe. With an odd
// seed the bindings' run gets the stream as a pipe holding all of it, so that each read is
// as large as the loop asks: small reads, then growing large ones once a header announces
// more (up to 64 MiB, whether or not it comes).
// Checks: a delivered message is well formed and fits its declared total; any chunking
// decodes to the same messages as one block; the loop hands exactly those messages (less
// the keep-alive) to the handler and ends with the code the stream calls for; and every
// echoed reply decodes back to the parameters it was built from. Then the same stream runs
// through the broker's own id-6 and id-3 bindings over stub operations: an operation runs
// exactly for the messages whose count and types the binding admits, with their texts,
// and its replies come back in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/hex.h"
#include "ipc/channel.h"
#include "ipc/decoder.h"
#include "sandbox/service_base.h"
#include "support/memory_transport.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::sandbox;

namespace {

using FuzzChannel = ipc::Channel<MemoryTransport>;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Message {
  int32_t id;
  std::vector<Param> params;
};

bool SameParam(const Param& a, const Param& b) {
  return a.type == b.type && a.value == b.value && a.string8 == b.string8 && a.string16 == b.string16;
}

bool SameMessage(const Message& a, const Message& b) {
  if (a.id != b.id || a.params.size() != b.params.size()) return false;
  for (size_t i = 0; i < a.params.size(); ++i) {
    if (!SameParam(a.params[i], b.params[i])) return false;
  }
  return true;
}

Message Take(const ParamList& list) {
  return Message{list.id, std::vector<Param>(list.params, list.params + list.count)};
}

uint32_t Low32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void CheckDelivered(const ipc::Decoder& d, const uint8_t* start, size_t consumed) {
  const ParamList& list = d.list();
  Check(d.state() == ipc::DecoderState::Complete);
  Check(list.id >= 0 && list.count <= ParamList::MaxParams);
  Check(consumed % 8 == 0 && consumed >= 8 * (6 + size_t{list.count}));
  const uint32_t total = Low32At(start + 24);
  Check(consumed <= size_t{total} * 8);
  size_t payload = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    const Param& p = list.params[i];
    switch (p.type) {
      case Int32Kind1:
      case Int32Kind2:
      case Int32Kind3:
      case Int32Kind4:
        Check(p.value >= INT32_MIN && p.value <= INT32_MAX);
        break;
      case Char8:
        Check(p.value >= 0 && p.value <= 0xFF);
        break;
      case Char16:
        Check(p.value >= 0 && p.value <= 0xFFFF);
        break;
      case PointerSized:
        break;
      case NullString8:
      case NullString16:
      case NullByteArray:
        Check(p.value == -1);
        break;
      case CString8:
        Check(p.string8.find('\0') == std::string::npos);
        break;
      case String8:
      case ByteArray:
        break;
      case CString16:
        Check(p.string16.find(u'\0') == Text::npos);
        break;
      case String16:
        break;
      default:
        Check(false);
    }
    Check(p.string8.empty() || p.type == CString8 || p.type == String8 || p.type == ByteArray);
    Check(p.string16.empty() || p.type == CString16 || p.type == String16);
    payload += p.string8.size() + 2 * p.string16.size();
  }
  Check(payload <= consumed);
}

enum class End { NeedMore, Error };

// The stream as one block: the messages it delivers and how it ends.
End DecodeWhole(const uint8_t* data, size_t size, PointerWidth width, std::vector<Message>& out) {
  ipc::Decoder d(width);
  d.Append(data, size);
  size_t at = 0;
  for (;;) {
    const size_t before = d.BufferedBytes();
    const ipc::DecodeResult r = d.Decode();
    if (r == ipc::DecodeResult::Done) {
      const size_t consumed = before - d.BufferedBytes();
      CheckDelivered(d, data + at, consumed);
      at += consumed;
      out.push_back(Take(d.list()));
      d.Reset();
      continue;
    }
    if (r == ipc::DecodeResult::Error) {
      Check(d.state() != ipc::DecoderState::Complete && d.list().count == 0);
      return End::Error;
    }
    Check(r == ipc::DecodeResult::NeedMore);
    return End::NeedMore;
  }
}

struct Chunker {
  uint32_t state;
  size_t Next() {
    state = state * 1103515245u + 12345u;
    const uint32_t r = state >> 16;
    return (r & 3) == 0 ? 1 + (r >> 2) % 7 : 1 + (r >> 2) % 300;
  }
};

void DecodeChunked(const uint8_t* data, size_t size, PointerWidth width, uint32_t seed,
                   const std::vector<Message>& expected, End expectedEnd) {
  ipc::Decoder d(width);
  Chunker chunker{seed};
  size_t fed = 0, delivered = 0;
  for (;;) {
    const ipc::DecodeResult r = d.Decode();
    if (r == ipc::DecodeResult::Done) {
      Check(delivered < expected.size() && SameMessage(Take(d.list()), expected[delivered]));
      ++delivered;
      d.Reset();
      continue;
    }
    if (r == ipc::DecodeResult::Error) {
      Check(expectedEnd == End::Error && delivered == expected.size());
      return;
    }
    if (fed == size) {
      Check(expectedEnd == End::NeedMore && delivered == expected.size());
      return;
    }
    const size_t n = std::min(chunker.Next(), size - fed);
    d.Append(data + fed, n);
    fed += n;
  }
}

// The stream as reads of the sizes that the seed picks.
void QueueInChunks(MemoryTransport& transport, const uint8_t* data, size_t size, uint32_t seed) {
  Chunker chunker{seed};
  for (size_t at = 0; at < size;) {
    const size_t n = std::min(chunker.Next(), size - at);
    transport.QueueChunk(data + at, n);
    at += n;
  }
}

// Echoes every message back under its own id; id 2 ends the loop with 77 after its echo.
// A message whose parameters were all dropped has nothing to echo (a count of 0 is not a
// message), so it gets no answer.
class EchoHandler : public MessageHandler<FuzzChannel> {
 public:
  std::vector<Message> handled;
  int64_t OnMsgIn(int32_t id, FuzzChannel& channel, Param* const* params, uint32_t count) override {
    Message m{id, {}};
    for (uint32_t i = 0; i < count; ++i) m.params.push_back(*params[i]);
    handled.push_back(m);
    if (count != 0) {
      const int64_t sent = ipc::MsgOut<FuzzChannel>::SendMsg(channel, id, m.params.data(), count);
      if (sent != ipc::ResultHandled) return sent;
    }
    return id == 2 ? 77 : ipc::ResultHandled;
  }
  bool OnMsgArgCountError(uint32_t) override { return false; }
  bool OnMsgArgConvertError(int32_t) override { return false; }
};

void RunLoop(const uint8_t* data, size_t size, PointerWidth width, uint32_t seed, bool failWrites) {
  size = size / 8 * 8;  // the loop never decodes a partial word, so judge whole words only
  std::vector<Message> expected;
  const End end = DecodeWhole(data, size, width, expected);

  MemoryTransport transport;
  QueueInChunks(transport, data, size, seed ^ 0x5A5Au);
  transport.SetFailWrites(failWrites);
  FuzzChannel channel(&transport, nullptr, width);
  EchoHandler handler;
  const int64_t result = channel.ReceiveLoop(&handler);

  std::vector<Message> served;
  for (const Message& m : expected) {
    if (!(m.id == 1 && m.params.size() == 1 && m.params[0].value == 0)) served.push_back(m);
  }
  size_t stop = served.size();
  int64_t want = end == End::Error ? ipc::ResultMalformed : ipc::ResultReadFailed;
  for (size_t k = 0; k < served.size(); ++k) {
    const bool writes = !served[k].params.empty();
    if ((failWrites && writes) || served[k].id == 2) {
      stop = k + 1;
      want = failWrites && writes ? ipc::ResultWriteFailed : 77;
      break;
    }
  }
  Check(handler.handled.size() == stop);
  for (size_t k = 0; k < stop; ++k) Check(SameMessage(handler.handled[k], served[k]));
  Check(result == want);

  // Every echo is the message it answers, encoded afresh.
  std::vector<Message> echoes;
  Check(DecodeWhole(transport.written().data(), transport.written().size(), width, echoes) == End::NeedMore);
  std::vector<Message> answered;
  for (const Message& m : handler.handled) {
    if (!m.params.empty()) answered.push_back(m);
  }
  Check(echoes.size() == (failWrites ? 0 : answered.size()));
  for (size_t k = 0; k < echoes.size(); ++k) Check(SameMessage(echoes[k], answered[k]));
}

struct RequestCall {
  int32_t op, hive;
  Text a, b, c;
  bool operator==(const RequestCall& o) const {
    return op == o.op && hive == o.hive && a == o.a && b == o.b && c == o.c;
  }
};

class StubRequestService
    : public ServerTuple_5_2<MsgParamConverter<6>, MsgParamConverter<7>, StubRequestService, 7, 6, FuzzChannel> {
 public:
  std::vector<RequestCall> calls;
  void OnRequest(const RequestInputs& in, int32_t& status, ipc::ReplyBody& reply) override {
    // A write's data, held as bytes, is recorded as the text that spells them.
    const Text c = in.dataC ? (in.dataC->wellFormed ? EncodeHexLower(in.dataC->bytes.data(), in.dataC->bytes.size())
                                                    : Text(u"not hex"))
                            : in.textC;
    calls.push_back({in.opCode, in.hiveSelector, in.textA, in.textB, c});
    status = in.opCode ^ in.hiveSelector;
    reply.text = c + in.textB + in.textA;
  }
};

class StubPluginService : public SandboxPISvcBase<FuzzChannel>, public ipc::MsgIn<3, StubPluginService, FuzzChannel> {
 public:
  std::vector<int32_t> pids;

  int64_t OnMsgIn(int32_t id, FuzzChannel& channel, Param* const* params, uint32_t count) override {
    MsgParamConverter<3>::Inputs in{};
    int64_t refused = ipc::ResultHandled;
    if (!TakeInputs<MsgParamConverter<3>>(MsgInId, id, params, count, in, refused)) return refused;
    pids.push_back(in.processId);
    return SendMsg(channel, 4, Param::Int32(in.processId, Int32Kind4), Param::Pointer(HandleFor(in.processId)));
  }
  static int64_t HandleFor(int32_t pid) { return static_cast<int64_t>(pid) * 16 - 1; }
};

class BrokerServices : public ipc::ServiceLookup<FuzzChannel> {
 public:
  StubRequestService request;
  StubPluginService plugin;
  MsgHandlerBase<FuzzChannel>* GetService(int32_t id) override {
    if (id == 6) return &request;
    if (id == 3) return &plugin;
    return nullptr;
  }
};

bool IsText(const Param& p) { return p.type == String16 || p.type == NullString16; }

void RunServices(const uint8_t* data, size_t size, PointerWidth width, uint32_t seed) {
  size = size / 8 * 8;
  std::vector<Message> messages;
  const End end = DecodeWhole(data, size, width, messages);

  // What the bindings must do with each message, worked out from the messages alone.
  std::vector<RequestCall> wantCalls;
  std::vector<int32_t> wantPids;
  std::vector<Message> wantReplies;
  int64_t want = end == End::Error ? ipc::ResultMalformed : ipc::ResultReadFailed;
  for (const Message& m : messages) {
    const std::vector<Param>& p = m.params;
    if (m.id == 1 && p.size() == 1 && p[0].value == 0) continue;  // keep-alive
    if (m.id == 6) {
      if (p.size() == 5 && p[0].type == Int32Kind2 && p[1].type == Int32Kind2 && IsText(p[2]) && IsText(p[3]) &&
          IsText(p[4])) {
        // A write's text C arrives as the bytes it spells, or as the fact that it spells none.
        Text c = p[4].string16;
        if (p[4].hex)
          c = p[4].hex->wellFormed ? EncodeHexLower(p[4].hex->bytes.data(), p[4].hex->bytes.size()) : Text(u"not hex");
        const RequestCall call{static_cast<int32_t>(p[0].value), static_cast<int32_t>(p[1].value), p[2].string16,
                               p[3].string16, c};
        wantCalls.push_back(call);
        wantReplies.push_back({7, {Param::Int32(call.op ^ call.hive), Param::Text16(call.c + call.b + call.a)}});
      }
      continue;
    }
    if (m.id == 3) {
      if (p.size() == 1 && p[0].type == Int32Kind4) {
        const int32_t pid = static_cast<int32_t>(p[0].value);
        wantPids.push_back(pid);
        const int64_t handle = StubPluginService::HandleFor(pid);
        wantReplies.push_back(
            {4,
             {Param::Int32(pid, Int32Kind4),
              Param::Pointer(width == PointerWidth::Bits64 ? handle
                                                           : static_cast<int64_t>(static_cast<int32_t>(handle)))}});
      }
      continue;
    }
    want = ipc::ResultUnclaimed;
    break;
  }

  MemoryTransport transport;
  if (seed % 2 != 0) {
    transport.QueueChunk(data, size);
  } else {
    QueueInChunks(transport, data, size, seed ^ 0xA5A5u);
  }
  BrokerServices services;
  ipc::ServiceLookup<FuzzChannel>* lookup = &services;
  FuzzChannel channel(&transport, &lookup, width);
  BadMessageRecv<FuzzChannel> defaultHandler;
  Check(channel.ReceiveLoop(&defaultHandler) == want);
  for (size_t limit : transport.readLimits()) Check(limit >= 1 && limit <= ipc::LargeReadBytes);
  Check(services.request.calls == wantCalls);
  Check(services.plugin.pids == wantPids);
  std::vector<Message> replies;
  Check(DecodeWhole(transport.written().data(), transport.written().size(), width, replies) == End::NeedMore);
  Check(replies.size() == wantReplies.size());
  for (size_t k = 0; k < replies.size(); ++k) Check(SameMessage(replies[k], wantReplies[k]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const PointerWidth width = (control & 0x80) ? PointerWidth::Bits32 : PointerWidth::Bits64;
  const uint32_t seed = control & 0x3F;
  ++data;
  --size;

  std::vector<Message> whole;
  const End end = DecodeWhole(data, size, width, whole);
  DecodeChunked(data, size, width, seed, whole, end);
  RunLoop(data, size, width, seed, (control & 0x40) != 0);
  RunServices(data, size, width, seed);
  return 0;
}
