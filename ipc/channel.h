// SPDX-License-Identifier: Apache-2.0
// The channel: reads bytes from a transport, reassembles one message at a time, hands it
// to the handler that claims its id, and goes on until something ends the connection.
// Handlers run synchronously on the loop's thread and write their replies before the
// next message is read, so replies come back in request order.
//
// Transport needs: const uint8_t* Read(size_t& count) (null on failure or no bytes) and
// bool Write(const uint8_t* bytes, size_t length).
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>
#include "base/debug_line.h"
#include "base/protocol.h"
#include "ipc/param.h"
#include "ipc/reply_body.h"
#include "ipc/wire_format.h"

namespace ipc {

// Results of the channel layer; handlers may return other non-zero values.
constexpr int64_t ResultHandled = 0;
constexpr int64_t ResultUnclaimed = -1;      // BadMessageRecv: no service claims the id
constexpr int64_t ResultEncodeFailed = -3;   // SendMsg: undefined type code, nothing written
constexpr int64_t ResultWriteFailed = -4;    // SendMsg: the transport failed to write
constexpr int64_t ResultReadFailed = -5;     // the transport read failed or delivered nothing
constexpr int64_t ResultMalformed = -7;      // the decoder did not reach Complete
constexpr int64_t ResultNoHandler = -10;     // no handler at all; or MsgIn given a foreign id
constexpr int64_t ResultTextUnfilled = -12;  // SendMsg: the text source failed, nothing written

// Message id of the keep-alive that the loop swallows when it carries one zero value.
constexpr int32_t IgnoredMessageId = MessageId::KeepAlive;

}  // namespace ipc

template <class Channel>
class MsgHandlerBase {
 public:
  // 0: handled, the loop goes on; anything else ends the loop with that value.
  // The parameter pointers are valid only during the call; the list is cleared right after,
  // so a handler may move strings out of the parameters instead of copying them.
  virtual int64_t OnMsgIn(int32_t id, Channel& channel, Param* const* params, uint32_t count) = 0;
  virtual bool OnMsgArgCountError(uint32_t count) = 0;
  virtual bool OnMsgArgConvertError(int32_t expectedType) = 0;
  // Whether the message's next String16 parameter, after `before`, is held as the bytes its
  // hexadecimal digits spell (see ipc::PayloadHolding). Texts stay texts unless asked.
  virtual bool HoldAsHexBytes(const ParamList& before) {
    static_cast<void>(before);
    return false;
  }

 protected:
  ~MsgHandlerBase() = default;
};

namespace ipc {

// What the loop asks for a handler: the process-wide service manager in the product,
// a table of the test's own in tests.
template <class Channel>
class ServiceLookup {
 public:
  virtual MsgHandlerBase<Channel>* GetService(int32_t id) = 0;

 protected:
  ~ServiceLookup() = default;
};

template <class Transport, class EncoderT = Encoder, class DecoderT = Decoder>
class Channel final : private PayloadHolding {
 public:
  using Handler = MsgHandlerBase<Channel>;
  using Lookup = ServiceLookup<Channel>;
  using EncoderType = EncoderT;
  using TransportType = Transport;

  // `services` points at the process-wide manager reference, which is read afresh for
  // every message (it may be null, or hold null).
  explicit Channel(Transport* transport, Lookup* const* services = nullptr, PointerWidth width = NativePointerWidth)
      : transport_(transport), services_(services), width_(width) {}

  Transport* transport() const { return transport_; }
  int32_t currentMessageId() const { return currentMessageId_; }
  PointerWidth width() const { return width_; }

  // The words every reply of this channel is built in. They stay allocated from one reply
  // to the next, so small replies never allocate; words beyond RetainedReplyLimit are given
  // back once the message that needed them is answered: one large reply must not hold its
  // size for the rest of the connection.
  WordStorage& replyWords() { return replyWords_; }
  size_t RetainedReplyBytes() const { return replyWords_.capacity() * sizeof(uint64_t); }
  static constexpr size_t RetainedReplyLimit = 65536;

  // Where a streamed reply is gathered between writes: the same small memory for every such
  // reply, so even the first large reply after a long pause touches no fresh memory for its
  // text. May throw (memory exhausted) on first use.
  std::vector<uint8_t>& StreamChunk() {
    if (streamChunk_.size() != StreamChunkBytes) streamChunk_.resize(StreamChunkBytes);
    return streamChunk_;
  }
  size_t RetainedStreamBytes() const { return streamChunk_.capacity(); }
  // A whole number of words, so that every chunk but the last is full and the head of a
  // message (whole words) leaves room for whole code units. Each write has a cost of its
  // own (under Wine 16 MiB took about 3 times as long in 64 KiB writes as in 256 KiB ones,
  // and 4 times the CPU), while the chunk stays small beside the 4 MiB file it serves.
  static constexpr size_t StreamChunkBytes = 262144;

  int64_t ReceiveLoop(Handler* defaultHandler) {
    defaultHandler_ = defaultHandler;
    DecoderT decoder(width_, this);
    Param* args[ParamList::MaxParams + 1];
    int64_t result = ResultHandled;
    for (;;) {
      if (!Fill(decoder)) {
        result = ResultReadFailed;
        break;
      }
      DecodeResult r = decoder.Decode();
      if (r == DecodeResult::NeedMore) continue;
      ParamList& list = decoder.list();
      currentMessageId_ = list.id;
      if (decoder.state() != DecoderState::Complete) {
        result = ResultMalformed;
        break;
      }
      for (uint32_t i = 0; i < list.count; ++i) args[i] = &list.params[i];
      if (list.id == IgnoredMessageId && list.count == 1 && list.params[0].value == 0) {
        list.Clear();
        decoder.Reset();
        continue;
      }
      Handler* handler = HandlerFor(list.id);
      if (handler == nullptr) {
        result = ResultNoHandler;
        break;
      }
      int64_t handled = handler->OnMsgIn(list.id, *this, args, list.count);
      list.Clear();
      decoder.Reset();
      if (RetainedReplyBytes() > RetainedReplyLimit) WordStorage().swap(replyWords_);
      if (handled != ResultHandled) {
        result = handled;
        break;
      }
    }
    decoder.list().Clear();
    decoder.ReleaseBuffers();
    WordStorage().swap(replyWords_);
    std::vector<uint8_t>().swap(streamChunk_);
    return result;
  }

 private:
  Handler* HandlerFor(int32_t id) const {
    Handler* handler = nullptr;
    if (services_ != nullptr && *services_ != nullptr) handler = (*services_)->GetService(id);
    return handler != nullptr ? handler : defaultHandler_;
  }

  // The handler the message will go to decides how it is held.
  bool HoldAsHexBytes(const ParamList& before) override {
    Handler* handler = HandlerFor(before.id);
    return handler != nullptr && handler->HoldAsHexBytes(before);
  }

  // Reads when the buffer is empty or the decoder asked for more, then until the
  // buffer holds whole words: the decoder only ever runs on whole words.
  bool Fill(DecoderT& decoder) {
    if (decoder.BufferedBytes() == 0 || decoder.lastResult() == DecodeResult::NeedMore) {
      if (!ReadOnce(decoder)) return false;
    }
    while (decoder.BufferedBytes() % 8 != 0) {
      if (!ReadOnce(decoder)) return false;
    }
    return true;
  }

  bool ReadOnce(DecoderT& decoder) {
    size_t count = 0;
    const uint8_t* bytes = transport_->Read(count);
    if (bytes == nullptr || count == 0) return false;
    decoder.Append(bytes, count);
    return true;
  }

  Transport* transport_;
  Lookup* const* services_;
  PointerWidth width_;
  int32_t currentMessageId_ = -1;
  Handler* defaultHandler_ = nullptr;
  WordStorage replyWords_;
  std::vector<uint8_t> streamChunk_;
};

// Gives its class the operation to send a message on a channel.
template <class Channel>
class MsgOut {
 public:
  // 0 when written; ResultEncodeFailed (nothing written) or ResultWriteFailed.
  static int64_t SendMsg(Channel& channel, int32_t id, Param* params, uint32_t n) {
    typename Channel::EncoderType encoder(channel.width(), channel.replyWords());
    if (!encoder.Build(id, params, n)) return ResultEncodeFailed;
    return channel.transport()->Write(encoder.Bytes(), encoder.ByteCount()) ? ResultHandled : ResultWriteFailed;
  }
  static int64_t SendMsg(Channel& channel, int32_t id, Param first, Param second) {
    Param params[2] = {std::move(first), std::move(second)};
    return SendMsg(channel, id, params, 2);
  }
  // The n parameters, then a String16 that `source` produces while the message is written:
  // the message's bytes are exactly those of the same text sent whole, written in chunks of
  // the channel's StreamChunk, so a large text is never held. ResultEncodeFailed when no
  // message can carry it, ResultTextUnfilled when the source cannot load; nothing is written
  // in either case. Memory for it may run out (bad_alloc), also before anything is written.
  static int64_t SendMsg(Channel& channel, int32_t id, Param* params, uint32_t n, TextSource& source) {
    const uint64_t units = source.Units();
    typename Channel::EncoderType encoder(channel.width(), channel.replyWords());
    encoder.Open(n + 1);
    for (uint32_t i = 0; i < n; ++i) {
      if (!encoder.Add(params[i])) return ResultEncodeFailed;
    }
    if (!encoder.AddString16Deferred(units)) return ResultEncodeFailed;
    encoder.Finish(id);
    std::vector<uint8_t>& chunk = channel.StreamChunk();
    if (!source.Load()) return ResultTextUnfilled;

    ChunkedWrite<typename Channel::TransportType> out(*channel.transport(), chunk);
    if (!out.Put(encoder.Bytes(), encoder.ByteCount())) return ResultWriteFailed;
    for (uint64_t left = units; left != 0;) {
      size_t room = out.Room() / sizeof(char16_t);
      if (room == 0) {
        if (!out.Flush()) return ResultWriteFailed;
        room = out.Room() / sizeof(char16_t);
      }
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left, room));
      source.Produce(out.End(), take);
      out.Advance(take * sizeof(char16_t));
      left -= take;
    }
    uint8_t tail[Channel::EncoderType::MaxTailBytes];
    const size_t tailBytes = encoder.Tail(tail);
    if (!out.Put(tail, tailBytes) || !out.Flush()) return ResultWriteFailed;
    return ResultHandled;
  }

 private:
  // Gathers bytes in `chunk` and writes each chunk to the transport once it is full.
  template <class Transport>
  class ChunkedWrite {
   public:
    ChunkedWrite(Transport& transport, std::vector<uint8_t>& chunk) : transport_(transport), chunk_(chunk) {}
    size_t Room() const { return chunk_.size() - used_; }
    uint8_t* End() { return chunk_.data() + used_; }
    void Advance(size_t bytes) { used_ += bytes; }
    bool Put(const uint8_t* bytes, size_t count) {
      while (count != 0) {
        if (Room() == 0 && !Flush()) return false;
        const size_t take = std::min(count, Room());
        std::memcpy(End(), bytes, take);
        Advance(take);
        bytes += take;
        count -= take;
      }
      return true;
    }
    bool Flush() {
      const size_t used = used_;
      used_ = 0;
      return used == 0 || transport_.Write(chunk_.data(), used);
    }

   private:
    Transport& transport_;
    std::vector<uint8_t>& chunk_;
    size_t used_ = 0;
  };
};

// Supplies a service's OnMsgIn for one message id: id, then count, then types.
// Service provides: InputCount; Inputs; static bool ConvertInputs(Param* const*,
// Inputs&, int32_t& expectedType); int64_t Serve(Channel&, Inputs&).
template <int32_t ID, class Service, class Channel>
class MsgIn {
 protected:
  int64_t DispatchMsgIn(int32_t id, Channel& channel, Param* const* params, uint32_t count) {
    Service* self = static_cast<Service*>(this);
    if (id != ID) return ResultNoHandler;
    if (count != Service::InputCount) return self->OnMsgArgCountError(count) ? 1 : 0;
    typename Service::Inputs inputs{};
    int32_t expected = 0;
    if (!Service::ConvertInputs(params, inputs, expected)) return self->OnMsgArgConvertError(expected) ? 1 : 0;
    return self->Serve(channel, inputs);
  }
};

}  // namespace ipc

// Base of plain handlers.
template <class Channel>
class MessageHandler : public MsgHandlerBase<Channel> {};

// The loop's default handler: an id that no service claims ends the connection.
template <class Channel>
class BadMessageRecv : public MessageHandler<Channel> {
 public:
  int64_t OnMsgIn(int32_t, Channel&, Param* const*, uint32_t) override { return ipc::ResultUnclaimed; }
  bool OnMsgArgCountError(uint32_t) override { return false; }
  bool OnMsgArgConvertError(int32_t) override { return false; }
};
