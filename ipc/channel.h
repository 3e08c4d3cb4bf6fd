// SPDX-License-Identifier: Apache-2.0
// The channel: reads bytes from a transport, reassembles one message at a time, hands it
// to the handler that claims its id, and goes on until something ends the connection.
// Handlers run synchronously on the loop's thread and write their replies before the
// next message is read, so replies come back in request order.
//
// Transport needs: const uint8_t* Read(size_t& count, size_t limit) (at most `limit` bytes;
// null on failure or no bytes; the bytes valid until the next Read) and bool Write(const
// uint8_t* bytes, size_t length).
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
#include "ipc/decoder.h"
#include "ipc/encoder.h"

namespace tarnvel::ipc {

// Results of the channel layer; handlers may return other non-zero values.
constexpr int64_t ResultHandled = 0;
constexpr int64_t ResultUnclaimed = -1;      // BadMessageRecv: no service claims the id
constexpr int64_t ResultEncodeFailed = -3;   // SendMsg: undefined type code, nothing written
constexpr int64_t ResultWriteFailed = -4;    // SendMsg: the transport failed to write
constexpr int64_t ResultReadFailed = -5;     // the transport read failed or delivered nothing
constexpr int64_t ResultMalformed = -7;      // the decoder did not reach Complete
constexpr int64_t ResultNoHandler = -10;     // no handler at all; or MsgIn given a foreign id
constexpr int64_t ResultTextUnfilled = -12;  // SendMsg: the text source failed, nothing written
constexpr int64_t ResultTextLost = -13;      // SendMsg: the text source failed part-way through

// Message id of the keep-alive that the loop swallows when it carries one zero value.
constexpr int32_t IgnoredMessageId = MessageId::KeepAlive;

// What one read may bring. A short message, and the head of every message, comes in small
// reads. Once a header announces more than a small read holds, each read is bounded by what
// is still announced (a large read never reaches into the next message), by the bytes of the
// message that already arrived (so the read buffer, too, follows what the peer sent: a
// declared 64 MiB that never comes costs one small read) and by LargeReadBytes. Under Wine
// every read is a round trip to the wineserver: a 16 MiB request took 4,100 of them in
// small reads, and reading it took about 3.5 times as long as in 64 KiB reads.
constexpr size_t SmallReadBytes = 4096;
constexpr size_t LargeReadBytes = 262144;

inline size_t ReadLimit(uint64_t announcedBytes, uint64_t arrivedBytes) {
  if (announcedBytes <= arrivedBytes || announcedBytes - arrivedBytes <= SmallReadBytes) return SmallReadBytes;
  const uint64_t bound = std::min<uint64_t>(LargeReadBytes, std::max<uint64_t>(arrivedBytes, SmallReadBytes));
  return static_cast<size_t>(std::min(announcedBytes - arrivedBytes, bound));
}

template <class Channel>
class MsgHandlerBase {
 public:
  // 0: handled, the loop goes on; anything else ends the loop with that value.
  // The parameter pointers are valid only during the call; the list is cleared right after,
  // so a handler may move strings out of the parameters instead of copying them.
  virtual int64_t OnMsgIn(int32_t id, Channel& channel, Param* const* params, uint32_t count) = 0;
  virtual bool OnMsgArgCountError(uint32_t count) = 0;
  virtual bool OnMsgArgConvertError(int32_t expectedType) = 0;

 protected:
  ~MsgHandlerBase() = default;
};

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
class Channel final {
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

  // Where a streamed reply is made between writes: one chunk, the same small memory for
  // every such reply, so even the first large reply after a long pause touches no fresh
  // memory for its text. May throw (memory exhausted) on first use.
  std::vector<uint8_t>& StreamChunk() {
    if (streamChunk_.size() != StreamChunkBytes) streamChunk_.resize(StreamChunkBytes);
    return streamChunk_;
  }
  size_t RetainedStreamBytes() const { return streamChunk_.capacity(); }
  // A whole number of words, so that every chunk but the last is full and the head of a
  // message (whole words) leaves room for whole code units. The chunk is kept from one reply
  // to the next and must leave room below the megabyte a connection may hold after a
  // request. Within that, fewer writes beat making the next chunk while one is written:
  // under Wine, where moving the bytes keeps both cores busy (the reader and the
  // wineserver), a 4 MiB read took 1.37 times the best bare transfer in two 320 KiB chunks
  // written in turn, the next made meanwhile, and 1.07 times in one 640 KiB chunk (1.06 in
  // 768 KiB, and 1.16 rather than 1.21 after a pause). Making a chunk takes about 0.1 ms.
  static constexpr size_t StreamChunkBytes = 786432;

  int64_t ReceiveLoop(Handler* defaultHandler) {
    defaultHandler_ = defaultHandler;
    DecoderT decoder(width_);
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
    const uint8_t* bytes = transport_->Read(count, ReadLimit(decoder.AnnouncedBytes(), decoder.BufferedBytes()));
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
  // StreamChunkBytes, each made once the one before it is written, so a large text is never
  // held. ResultEncodeFailed when no message can carry it, ResultTextUnfilled when the
  // source cannot load; nothing is written in either case. Memory for it may run out
  // (bad_alloc), also before anything is written. ResultTextLost when the source fails once
  // part of the message is written: the message is left unfinished, and the caller must end
  // the connection, as after ResultWriteFailed.
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

    ChunkedWrite<typename Channel::TransportType> out(*channel.transport(), chunk.data(), Channel::StreamChunkBytes);
    if (!out.Put(encoder.Bytes(), encoder.ByteCount())) return ResultWriteFailed;
    for (uint64_t left = units; left != 0;) {
      size_t room = out.Room() / sizeof(char16_t);
      if (room == 0) {
        if (!out.Flush()) return ResultWriteFailed;
        room = out.Room() / sizeof(char16_t);
      }
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left, room));
      if (!source.Produce(out.End(), take)) return ResultTextLost;
      out.Advance(take * sizeof(char16_t));
      left -= take;
    }
    uint8_t tail[Channel::EncoderType::MaxTailBytes];
    const size_t tailBytes = encoder.Tail(tail);
    if (!out.Put(tail, tailBytes) || !out.Flush()) return ResultWriteFailed;
    return ResultHandled;
  }

 private:
  // Gathers bytes in the chunk and writes it whole once it is full.
  template <class Transport>
  class ChunkedWrite {
   public:
    ChunkedWrite(Transport& transport, uint8_t* chunk, size_t chunkBytes)
        : transport_(transport), chunk_(chunk), chunkBytes_(chunkBytes) {}

    size_t Room() const { return chunkBytes_ - used_; }
    uint8_t* End() { return chunk_ + used_; }
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
    // Writes what is gathered; the chunk is then empty.
    bool Flush() {
      const size_t used = used_;
      used_ = 0;
      return transport_.Write(chunk_, used);
    }

   private:
    Transport& transport_;
    uint8_t* chunk_;
    size_t chunkBytes_;
    size_t used_ = 0;
  };
};

// Binds a service to the one message id it takes. The channel delivers a decoded message to
// the service's OnMsgIn, where the service converts and serves it; its reply goes back down
// through MsgOut. Nothing here calls into a service.
template <int32_t ID, class Service, class Channel>
class MsgIn {
 public:
  static constexpr int32_t MsgInId = ID;

 protected:
  ~MsgIn() = default;
};

// Base of plain handlers.
template <class Channel>
class MessageHandler : public MsgHandlerBase<Channel> {};

// The loop's default handler: an id that no service claims ends the connection.
template <class Channel>
class BadMessageRecv : public MessageHandler<Channel> {
 public:
  int64_t OnMsgIn(int32_t, Channel&, Param* const*, uint32_t) override { return ResultUnclaimed; }
  bool OnMsgArgCountError(uint32_t) override { return false; }
  bool OnMsgArgConvertError(int32_t) override { return false; }
};

}  // namespace tarnvel::ipc
