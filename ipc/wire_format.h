// The message format: 64-bit little-endian words.
//   header (magic, id, count, total words) | type words | TypeListEnd | data words | MessageEnd
// Encoder builds one message in one word array; Decoder reassembles one message at a time
// from a byte stream and rejects anything malformed. A message is judged by its own declared
// total only: the decoder never waits for, or reads, bytes beyond it.
// Both sides assume a little-endian host (every Windows target is one), so words and
// payloads are copied with memcpy rather than assembled byte by byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "ipc/param.h"

namespace ipc {

constexpr uint32_t HeaderMagic = 0x4D4F524B;
constexpr uint32_t TypeListEnd = 0x4B524F4D;
constexpr uint32_t MessageEnd = 0x474E4142;
constexpr uint32_t String8Flag = 0x40000000;
constexpr uint32_t String16Flag = 0x80000000;
constexpr uint32_t MaxDeclaredCount = 100;
constexpr uint32_t MaxTotalWords = 0x800000;

class Encoder {
 public:
  explicit Encoder(PointerWidth width = NativePointerWidth) : width_(width) {}

  void Open(uint32_t n);
  // False, writing nothing, for a type code outside the table, for a parameter beyond the n
  // announced by Open, or for one that the format cannot carry (a string longer than a
  // length word holds, or a message beyond MaxTotalWords). May move the param's strings out.
  bool Add(Param& param);
  void Finish(int32_t id);

  const std::vector<uint64_t>& Words() const { return words_; }
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(words_.data()); }
  size_t ByteCount() const { return words_.size() * 8; }

 private:
  bool AppendPayload(uint32_t typeWord, uint64_t length, const void* bytes, uint64_t byteCount);

  PointerWidth width_;
  std::vector<uint64_t> words_;
  size_t lastHeaderSlot_ = 3;
  uint32_t count_ = 0;
};

enum class DecoderState { Header = 0, TypeList = 1, Data = 2, Trailer = 3, Complete = 4 };
enum class DecodeResult { None = 0, Continue = 1, NeedMore = 2, Done = 3, Error = 4 };

class Decoder {
 public:
  explicit Decoder(PointerWidth width = NativePointerWidth) : width_(width) {}

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
  size_t BufferedBytes() const { return buffer_.size(); }
  // Releases the byte buffer and the type list (end of a receive loop).
  void ReleaseBuffers();

 private:
  DecodeResult StepHeader();
  DecodeResult StepTypeList();
  DecodeResult StepData();
  DecodeResult StepTrailer();
  DecodeResult Fail();
  size_t Available() const { return buffer_.size() - offset_; }
  uint64_t ReadWord();
  DecodeResult ContinueIfWord() const;

  PointerWidth width_;
  ParamList list_;
  std::vector<uint8_t> buffer_;
  std::vector<uint32_t> types_;
  DecoderState state_ = DecoderState::Header;
  int64_t declaredCount_ = -1;
  int64_t expectedWords_ = -1;
  size_t offset_ = 0;
  DecodeResult last_ = DecodeResult::None;
};

}  // namespace ipc
