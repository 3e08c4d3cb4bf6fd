// The message format: 64-bit little-endian words.
//   header (magic, id, count, total words) | type words | TypeListEnd | data words | MessageEnd
// Encoder builds one message in one word array; Decoder reassembles one message at a time
// from a byte stream and rejects anything malformed.
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
  // False, writing nothing, for a type code outside the table. May move the param's strings out.
  bool Add(Param& param);
  void Finish(int32_t id);

  const std::vector<uint64_t>& Words() const { return words_; }
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(words_.data()); }
  size_t ByteCount() const { return words_.size() * 8; }

 private:
  PointerWidth width_;
  std::vector<uint64_t> words_;
  size_t lastHeaderSlot_ = 3;
};

enum class DecoderState { Header = 0, TypeList = 1, Data = 2, Trailer = 3, Complete = 4 };
enum class DecodeResult { None = 0, Continue = 1, NeedMore = 2, Done = 3, Error = 4 };

class Decoder {
 public:
  explicit Decoder(PointerWidth width = NativePointerWidth) : width_(width) {}

  void Append(const uint8_t* bytes, size_t count);
  // NeedMore, Done or Error; state() is Complete exactly when a message was delivered.
  DecodeResult Decode();
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
