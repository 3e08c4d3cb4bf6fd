// SPDX-License-Identifier: Apache-2.0
// Reassembles one message of the wire format (ipc/wire_format.h) at a time from a byte
// stream and rejects anything malformed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>
#include "ipc/param.h"
#include "ipc/wire_format.h"

namespace tarnvel::ipc {

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

}  // namespace tarnvel::ipc
