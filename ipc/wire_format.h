// SPDX-License-Identifier: Apache-2.0
// The message format: 64-bit little-endian words.
//   header (magic, id, count, total words) | type words | TypeListEnd | data words | MessageEnd
// Encoder builds one message in one word array; Decoder reassembles one message at a time
// from a byte stream and rejects anything malformed. A message is judged by its own declared
// total only: the decoder never waits for, or reads, bytes beyond it. A payload that is still
// arriving is copied straight into its parameter's string as its bytes come in, so a large
// message is held once; it is judged, as every message, only once its declared total arrived.
// Both sides assume a little-endian host (every Windows target is one), so words and
// payloads are copied with memcpy rather than assembled byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>
#include "ipc/param.h"

namespace ipc {

// An allocator whose resize leaves new words unwritten: the encoder writes every word of a
// message itself, and a large reply's payload would otherwise be zeroed only to be overwritten.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

constexpr uint32_t HeaderMagic = 0x4D4F524B;
constexpr uint32_t TypeListEnd = 0x4B524F4D;
constexpr uint32_t MessageEnd = 0x474E4142;
constexpr uint32_t String8Flag = 0x40000000;
constexpr uint32_t String16Flag = 0x80000000;
constexpr uint32_t MaxDeclaredCount = 100;
constexpr uint32_t MaxTotalWords = 0x800000;

// The words of a message being built, kept by an owner between messages.
using WordStorage = std::vector<uint64_t, UninitialisedAllocator<uint64_t>>;

class Encoder {
 public:
  explicit Encoder(PointerWidth width = NativePointerWidth) : width_(width) {}
  // Builds in `storage`'s memory and hands it back, emptied with its capacity kept, when
  // the encoder goes: one owner's consecutive messages then share one allocation, and a
  // burst of large replies touches its memory once. Every word of a message is written
  // afresh, so what the storage held before never reaches the wire.
  Encoder(PointerWidth width, WordStorage& storage) : width_(width), words_(std::move(storage)), home_(&storage) {}
  ~Encoder() {
    if (home_ == nullptr) return;
    words_.clear();
    *home_ = std::move(words_);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  void Open(uint32_t n);
  // False, writing nothing, for a type code outside the table, for a parameter beyond the n
  // announced by Open, or for one that the format cannot carry (a string longer than a
  // length word holds, or a message beyond MaxTotalWords). May move the param's strings out.
  bool Add(Param& param);
  // A String16 parameter of `units` code units whose payload is not held here: the caller
  // sends 2 * units bytes (UTF-16LE) right after Bytes(), then Tail(). Only as the last
  // parameter. Finish counts the payload and the trailer in the total, but the words end
  // with the length word. False, writing nothing, where Add would refuse such a parameter or
  // it is not the last one.
  [[nodiscard]] bool AddString16Deferred(uint64_t units);
  void Finish(int32_t id);
  // Open, Add of each parameter, Finish: the whole message, or false (and no message) when
  // a parameter is refused.
  [[nodiscard]] bool Build(int32_t id, Param* params, uint32_t n);

  // The message, or with a deferred payload everything before that payload.
  std::vector<uint64_t> Words() const { return std::vector<uint64_t>(words_.begin(), words_.end()); }
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(words_.data()); }
  size_t ByteCount() const { return words_.size() * 8; }
  // What follows a deferred payload: the zeros that pad its last word, then the trailer.
  // 0 bytes when no payload was deferred.
  static constexpr size_t MaxTailBytes = 16;
  size_t Tail(uint8_t (&out)[MaxTailBytes]) const;

 private:
  bool FitsPayload(uint64_t length, uint64_t byteCount, size_t& slot, uint64_t& payloadWords) const;
  uint8_t* AppendPayload(uint32_t typeWord, uint64_t length, uint64_t byteCount);

  PointerWidth width_;
  WordStorage words_;
  WordStorage* home_ = nullptr;  // where the words go back to, if they were borrowed
  size_t lastHeaderSlot_ = 3;
  uint32_t count_ = 0;
  uint64_t deferredBytes_ = 0;  // payload of a deferred parameter, sent by the caller
  uint64_t deferredWords_ = 0;
  bool deferred_ = false;
};

enum class DecoderState { Header = 0, TypeList = 1, Data = 2, Trailer = 3, Complete = 4 };
enum class DecodeResult { None = 0, Continue = 1, NeedMore = 2, Done = 3, Error = 4 };

class Decoder {
 public:
  explicit Decoder(PointerWidth width = NativePointerWidth) : width_(width) {}

  // Takes bytes of any count; a payload among them goes straight into its string, so even a
  // whole large message appended at once is copied once.
  void Append(const uint8_t* bytes, size_t count);
  // NeedMore, Done or Error; state() is Complete exactly when a message was delivered.
  // After Error the list holds the message id (when the header got that far) and no
  // parameters.
  DecodeResult Decode();
  // Ready for the next message (also clears the list and its id); bytes of following
  // messages stay buffered.
  void Reset();

  DecoderState state() const { return state_; }
  DecodeResult lastResult() const { return last_; }
  ParamList& list() { return list_; }
  const ParamList& list() const { return list_; }
  // Bytes appended and not yet part of a delivered message (a payload taken straight into
  // its string counts until its message is delivered).
  size_t BufferedBytes() const { return buffer_.size() + captured_; }
  // The declared total of the message being reassembled, in bytes, once its header was
  // accepted; 0 before that, once the message was refused, and after Reset. Nothing of it is
  // held until it arrives: it only tells a reader how much more may come.
  uint64_t AnnouncedBytes() const { return announcedBytes_; }
  // Memory the decoder keeps for later messages (its byte buffer and type list).
  size_t RetainedBytes() const { return buffer_.capacity() + types_.capacity() * sizeof(uint32_t); }
  // Releases the byte buffer and the type list (end of a receive loop).
  void ReleaseBuffers();

  // Above this, the byte buffer is given back once a message is delivered: one large
  // message must not keep its size held for the rest of the connection.
  static constexpr size_t RetainedBufferLimit = 65536;
  // Appended blocks larger than this are decoded piece by piece as they go in.
  static constexpr size_t PieceBytes = 4096;
  // A payload taken into its string while it arrives makes the string this much longer at a
  // time, never past the payload: memory follows the bytes that arrived to within a step.
  static constexpr size_t CaptureStepBytes = 65536;

 private:
  DecodeResult Advance(bool deliver);
  DecodeResult StepHeader();
  DecodeResult StepTypeList();
  DecodeResult StepData();
  DecodeResult StepValue(uint32_t type);
  DecodeResult StepPayload(uint32_t type);
  Param& NextSlot();
  void TakeNarrow(uint32_t code, const uint8_t* payload, size_t byteCount);
  void TakeWide(uint32_t code, const uint8_t* payload, size_t units);
  void TakeHex(const uint8_t* payload, size_t byteCount);
  void StartCapture(uint32_t code, bool narrow, bool hex, uint64_t byteCount, uint64_t payloadBytes);
  size_t Capture(const uint8_t* bytes, size_t count);
  void FinishCapture();
  DecodeResult StepTrailer();
  DecodeResult Fail();
  void Malformed() { malformed_ = true; }
  size_t Available() const { return buffer_.size() - offset_; }
  uint64_t ArrivedDataBytes() const { return static_cast<uint64_t>(BufferedBytes() - dataStart_); }
  uint64_t ReadWord();
  DecodeResult ContinueIfWord() const;
  void ShrinkBuffer();

  PointerWidth width_;
  ParamList list_;
  std::vector<uint8_t> buffer_;
  std::vector<uint32_t> types_;
  DecoderState state_ = DecoderState::Header;
  int64_t declaredCount_ = -1;
  int64_t expectedWords_ = -1;
  uint64_t announcedBytes_ = 0;
  size_t offset_ = 0;
  DecodeResult last_ = DecodeResult::None;
  bool failed_ = false;  // Error was answered; only Reset starts afresh

  // The data section, parsed as its words arrive.
  size_t nextType_ = 0;
  size_t dataStart_ = 0;    // bytes of the message before its first data word
  uint64_t dataLeft_ = 0;   // declared bytes left for parameters (before the trailer slot)
  uint64_t dataBytes_ = 0;  // declared bytes of the data section with the trailer
  bool malformed_ = false;  // judged only once the declared total arrived

  // A payload taken straight into its parameter while it arrives.
  bool capturing_ = false;
  Param* captureTarget_ = nullptr;  // null for a dropped parameter
  bool captureNarrow_ = false;
  bool captureHex_ = false;  // into hexStream_ rather than the parameter's string
  HexStream hexStream_;
  uint32_t captureCode_ = 0;
  uint64_t captureAt_ = 0;    // payload bytes already in the string
  uint64_t captureLeft_ = 0;  // payload bytes still to come
  uint64_t padLeft_ = 0;      // padding bytes after them
  size_t captured_ = 0;       // bytes of this message no longer (or never) in buffer_
};

}  // namespace ipc
