// SPDX-License-Identifier: Apache-2.0
#include "ipc/decoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include "tarnvel/protocol.h"

namespace tarnvel::ipc {

namespace {

uint32_t Low32(uint64_t word) { return static_cast<uint32_t>(word); }
int32_t Low32Signed(uint64_t word) { return static_cast<int32_t>(static_cast<uint32_t>(word)); }

// Whether the String16 parameter after `before` is held as the bytes its hexadecimal digits
// spell rather than as its text: a request's text C where the protocol table says so for its
// op code. Nothing about the message changes but its memory: a data-file write's 4 MiB
// arrive as 16 MiB of text.
bool HeldAsHexBytes(const ParamList& before) {
  return before.id == tarnvel::protocol::MessageId::Request && before.count == 4 &&
         before.params[0].type == Int32Kind2 &&
         tarnvel::protocol::HoldsTextCAsBytes(static_cast<int32_t>(before.params[0].value));
}

}  // namespace

void Decoder::Append(const uint8_t* bytes, size_t count) {
  for (;;) {
    if (capturing_ && count != 0) {
      const size_t used = Capture(bytes, count);
      bytes += used;
      count -= used;
    }
    // A large block goes in by pieces, each parsed as far as it goes (as the receive loop
    // does with its reads), so that a payload in it is taken straight from the block rather
    // than gathered in buffer_ first. Only Decode delivers: once the data section is whole
    // (or the message refused), the rest waits for it.
    if (count <= PieceBytes || capturing_ || failed_ || state_ == DecoderState::Trailer ||
        state_ == DecoderState::Complete) {
      break;
    }
    // Pieces end on whole words of the stream: the decoder only runs on whole words.
    const size_t piece = PieceBytes - BufferedBytes() % 8;
    buffer_.insert(buffer_.end(), bytes, bytes + piece);
    bytes += piece;
    count -= piece;
    static_cast<void>(Advance(false));
  }
  if (count != 0) buffer_.insert(buffer_.end(), bytes, bytes + count);
}

uint64_t Decoder::ReadWord() {
  uint64_t word;
  std::memcpy(&word, buffer_.data() + offset_, sizeof word);
  offset_ += sizeof word;
  return word;
}

DecodeResult Decoder::ContinueIfWord() const {
  return Available() >= 8 ? DecodeResult::Continue : DecodeResult::NeedMore;
}

DecodeResult Decoder::Fail() {
  list_.Clear();
  announcedBytes_ = 0;
  failed_ = true;
  return DecodeResult::Error;
}

DecodeResult Decoder::Decode() {
  last_ = Advance(true);
  return last_;
}

// The steps as far as the bytes go; without `deliver`, no further than the trailer, so that
// a message is only ever delivered (and its bytes given up) by Decode.
DecodeResult Decoder::Advance(bool deliver) {
  // A refused message stays refused until Reset, however often it is asked again.
  if (failed_) return DecodeResult::Error;
  DecodeResult r = DecodeResult::Done;
  do {
    switch (state_) {
      case DecoderState::Header:
        r = StepHeader();
        break;
      case DecoderState::TypeList:
        r = StepTypeList();
        break;
      case DecoderState::Data:
        r = StepData();
        break;
      case DecoderState::Trailer:
        r = deliver ? StepTrailer() : DecodeResult::NeedMore;
        break;
      case DecoderState::Complete:
        r = DecodeResult::Done;
        break;
    }
  } while (r == DecodeResult::Continue);
  return r;
}

DecodeResult Decoder::StepHeader() {
  if (Available() < 32) return DecodeResult::NeedMore;
  const uint32_t magic = Low32(ReadWord());
  const int32_t id = Low32Signed(ReadWord());
  const int32_t count = Low32Signed(ReadWord());
  const int32_t total = Low32Signed(ReadWord());
  if (magic != HeaderMagic || id < 0 || count < 1 || count > static_cast<int32_t>(MaxDeclaredCount) || total < 5 ||
      total > static_cast<int32_t>(MaxTotalWords)) {
    return Fail();
  }
  list_.id = id;
  if (count > static_cast<int32_t>(ParamList::MaxParams)) return Fail();
  // The total must hold the type list and a data word per parameter; refused here so that
  // a short total never makes us wait for a type list running into the next message.
  if (total - 4 < 2 * count + 1) return Fail();
  declaredCount_ = count;
  expectedWords_ = total - 4;
  announcedBytes_ = static_cast<uint64_t>(total) * 8;
  state_ = DecoderState::TypeList;
  return ContinueIfWord();
}

DecodeResult Decoder::StepTypeList() {
  if (Available() < static_cast<uint64_t>(declaredCount_ + 1) * 8) return DecodeResult::NeedMore;
  types_.clear();
  for (int64_t i = 0; i < declaredCount_; ++i) types_.push_back(Low32(ReadWord()));
  if (Low32(ReadWord()) != TypeListEnd) return Fail();
  expectedWords_ -= declaredCount_ + 1;
  if (expectedWords_ < declaredCount_) return Fail();
  nextType_ = 0;
  dataStart_ = offset_;
  dataBytes_ = static_cast<uint64_t>(expectedWords_) * 8;
  // Parameters must end before the trailer slot of the declared total.
  dataLeft_ = dataBytes_ - 8;
  malformed_ = false;
  state_ = DecoderState::Data;
  return ContinueIfWord();
}

// Parameters are taken as their words arrive, but nothing is judged or delivered before the
// whole declared rest of the message arrived: a fault found early waits for it too, so a
// message ends the same way however its bytes were split.
DecodeResult Decoder::StepData() {
  while (!malformed_ && !capturing_ && nextType_ < types_.size()) {
    const uint32_t type = types_[nextType_];
    const DecodeResult r = (type & (String8Flag | String16Flag)) == 0 ? StepValue(type) : StepPayload(type);
    if (r == DecodeResult::NeedMore) break;
  }
  if (capturing_ || ArrivedDataBytes() < dataBytes_) return DecodeResult::NeedMore;
  if (malformed_ || nextType_ < types_.size()) return Fail();
  types_.clear();
  state_ = DecoderState::Trailer;
  return ContinueIfWord();
}

// Continue when the parameter was taken (or the message found malformed), NeedMore when
// its word has not arrived yet.
DecodeResult Decoder::StepValue(uint32_t type) {
  if (dataLeft_ < 8 || !IsValueCode(type)) {
    Malformed();
    return DecodeResult::Continue;
  }
  if (Available() < 8) return DecodeResult::NeedMore;
  const uint64_t word = ReadWord();
  dataLeft_ -= 8;
  ++nextType_;
  Param& p = NextSlot();
  p.type = static_cast<int32_t>(type);
  switch (type) {
    case Int32Kind1:
    case Int32Kind2:
    case Int32Kind3:
    case Int32Kind4:
      p.value = Low32Signed(word);
      break;
    case Char8:
      p.value = static_cast<uint8_t>(word);
      break;
    case Char16:
      p.value = static_cast<uint16_t>(word);
      break;
    case PointerSized:
      // A 32-bit handle is widened with its sign so that -1 stays -1.
      p.value = width_ == PointerWidth::Bits64 ? static_cast<int64_t>(word) : Low32Signed(word);
      break;
    default:
      p.value = -1;
      break;
  }
  return DecodeResult::Continue;
}

// The list's next parameter, filled in place. The type list holds at most MaxParams
// entries, so a slot is always free; cleared slots are default parameters.
Param& Decoder::NextSlot() { return list_.params[list_.count++]; }

DecodeResult Decoder::StepPayload(uint32_t type) {
  if (dataLeft_ < 8) {
    Malformed();
    return DecodeResult::Continue;
  }
  if (Available() < 8) return DecodeResult::NeedMore;
  const int32_t length = Low32Signed(ReadWord());
  dataLeft_ -= 8;
  ++nextType_;
  if (length < 0) {
    Malformed();
    return DecodeResult::Continue;
  }
  const bool narrow = (type & String8Flag) != 0;  // both flags count as 8-bit
  // In 64 bits: a length near 2^31 UTF-16 units is 4 GiB of payload, which wraps a
  // 32-bit size_t and would pass the bound below.
  const uint64_t byteCount = narrow ? static_cast<uint64_t>(length) : static_cast<uint64_t>(length) * 2;
  const uint64_t payloadBytes = (byteCount + 7) / 8 * 8;
  if (payloadBytes > dataLeft_) {
    Malformed();
    return DecodeResult::Continue;
  }
  // Bounded by the declared total from here on, so these sizes fit a size_t.
  dataLeft_ -= payloadBytes;
  const uint32_t code = type & ~(narrow ? String8Flag : String16Flag);
  // Asked however the payload's bytes were split, so that it is held the same way.
  const bool hex = !narrow && code == String16 && HeldAsHexBytes(list_);
  if (payloadBytes > Available()) {
    StartCapture(code, narrow, hex, byteCount, payloadBytes);
    return DecodeResult::NeedMore;
  }
  const uint8_t* payload = buffer_.data() + offset_;
  offset_ += static_cast<size_t>(payloadBytes);
  if (hex) {
    TakeHex(payload, static_cast<size_t>(byteCount));
  } else if (narrow) {
    TakeNarrow(code, payload, static_cast<size_t>(byteCount));
  } else {
    TakeWide(code, payload, static_cast<size_t>(length));
  }
  return DecodeResult::Continue;
}

// Codes outside the flag's family are dropped: their payload is skipped, no parameter added.
void Decoder::TakeNarrow(uint32_t code, const uint8_t* payload, size_t byteCount) {
  if (code != CString8 && code != String8 && code != ByteArray) return;
  size_t n = byteCount;
  if (code == CString8) {
    if (const void* nul = std::memchr(payload, 0, n))
      n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - payload);
  }
  Param& p = NextSlot();
  p.type = static_cast<int32_t>(code);
  p.string8.assign(reinterpret_cast<const char*>(payload), n);
}

void Decoder::TakeWide(uint32_t code, const uint8_t* payload, size_t units) {
  if (code != CString16 && code != String16) return;
  Param& p = NextSlot();
  p.type = static_cast<int32_t>(code);
  // Copied in one pass (no zero-fill first): the payload starts on a word boundary of
  // the buffer and char_traits copies with memcpy.
  p.string16.assign(reinterpret_cast<const char16_t*>(payload), units);
  if (code == CString16) {
    const size_t nul = p.string16.find(u'\0');
    if (nul != Text::npos) p.string16.resize(nul);
  }
}

void Decoder::TakeHex(const uint8_t* payload, size_t byteCount) {
  Param& p = NextSlot();
  p.type = String16;
  HexStream stream(byteCount / 2);
  stream.AppendUtf16Le(payload, byteCount);
  p.hex = stream.Finish();
}

// The payload's bytes that are buffered go into the string now, the rest as Append brings
// them, so that a large payload is not first gathered in buffer_ and then copied again.
void Decoder::StartCapture(uint32_t code, bool narrow, bool hex, uint64_t byteCount, uint64_t payloadBytes) {
  capturing_ = true;
  captureNarrow_ = narrow;
  captureHex_ = hex;
  captureCode_ = code;
  captureAt_ = 0;
  captureLeft_ = byteCount;
  padLeft_ = payloadBytes - byteCount;
  captureTarget_ = nullptr;
  const bool kept =
      narrow ? (code == CString8 || code == String8 || code == ByteArray) : (code == CString16 || code == String16);
  if (kept) {
    Param& p = NextSlot();
    p.type = static_cast<int32_t>(code);
    captureTarget_ = &p;
    if (hex) {
      p.hex.emplace();  // filled when the payload is whole
      hexStream_ = HexStream(byteCount / 2);
    } else if (narrow) {
      p.string8.reserve(static_cast<size_t>(byteCount));
    } else {
      p.string16.reserve(static_cast<size_t>(byteCount / 2));
    }
  }
  Capture(buffer_.data() + offset_, Available());
  // All that was buffered belongs to this message and has been taken: the buffer starts
  // afresh, and its bytes are counted with the captured ones.
  captured_ += offset_;
  buffer_.clear();
  offset_ = 0;
}

// Takes what belongs to the payload being captured; returns how many bytes that was.
size_t Decoder::Capture(const uint8_t* bytes, size_t count) {
  size_t used = 0;
  if (captureLeft_ != 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(count, captureLeft_));
    if (captureTarget_ != nullptr && captureHex_) {
      hexStream_.AppendUtf16Le(bytes, take);
    } else if (captureTarget_ != nullptr) {
      // The string grows a step at a time ahead of its bytes, never past the payload: the
      // memory of a step is touched at once rather than a page between two reads, where
      // each first touch was measured to cost several times as much. The step's bytes not yet
      // arrived are zeros that no one sees: the string is only delivered whole.
      const size_t end = static_cast<size_t>(captureAt_) + take;
      const uint64_t whole = captureAt_ + captureLeft_;
      const size_t grown = static_cast<size_t>(
          std::min<uint64_t>(whole, (end + CaptureStepBytes - 1) / CaptureStepBytes * CaptureStepBytes));
      uint8_t* dst = nullptr;
      if (captureNarrow_) {
        std::string& target = captureTarget_->string8;
        if (target.size() < grown) target.resize(grown);
        dst = reinterpret_cast<uint8_t*>(&target[0]);
      } else {
        // Whole units; an odd byte completes its unit with the next call.
        Text& target = captureTarget_->string16;
        if (target.size() * 2 < grown) target.resize((grown + 1) / 2);
        dst = reinterpret_cast<uint8_t*>(&target[0]);
      }
      std::memcpy(dst + captureAt_, bytes, take);
    }
    captureAt_ += take;
    captureLeft_ -= take;
    used = take;
  }
  if (captureLeft_ == 0 && used < count) {
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(count - used, padLeft_));
    padLeft_ -= skip;
    used += skip;
  }
  captured_ += used;
  if (captureLeft_ == 0 && padLeft_ == 0) FinishCapture();
  return used;
}

void Decoder::FinishCapture() {
  capturing_ = false;
  if (captureTarget_ == nullptr) return;
  if (captureHex_) {
    captureTarget_->hex = hexStream_.Finish();
  } else if (captureCode_ == CString8) {
    const size_t nul = captureTarget_->string8.find('\0');
    if (nul != std::string::npos) captureTarget_->string8.resize(nul);
  } else if (captureCode_ == CString16) {
    const size_t nul = captureTarget_->string16.find(u'\0');
    if (nul != Text::npos) captureTarget_->string16.resize(nul);
  }
  captureTarget_ = nullptr;
}

DecodeResult Decoder::StepTrailer() {
  if (Available() < 8) return DecodeResult::NeedMore;
  if (Low32(ReadWord()) != MessageEnd) return Fail();
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
  offset_ = 0;
  captured_ = 0;
  ShrinkBuffer();
  state_ = DecoderState::Complete;
  return DecodeResult::Done;
}

void Decoder::ShrinkBuffer() {
  if (buffer_.capacity() <= RetainedBufferLimit || buffer_.size() > RetainedBufferLimit / 2) return;
  std::vector<uint8_t> kept;
  kept.reserve(std::max(buffer_.size(), size_t{4096}));
  kept.assign(buffer_.begin(), buffer_.end());
  buffer_.swap(kept);
}

void Decoder::Reset() {
  state_ = DecoderState::Header;
  failed_ = false;
  declaredCount_ = -1;
  expectedWords_ = -1;
  announcedBytes_ = 0;
  offset_ = 0;
  last_ = DecodeResult::None;
  types_.clear();
  nextType_ = 0;
  dataStart_ = 0;
  malformed_ = false;
  capturing_ = false;
  captureTarget_ = nullptr;
  hexStream_ = HexStream();
  captured_ = 0;
  list_.Clear();
  list_.id = -1;
}

void Decoder::ReleaseBuffers() {
  std::vector<uint8_t>().swap(buffer_);
  std::vector<uint32_t>().swap(types_);
  offset_ = 0;
  captured_ = 0;
  capturing_ = false;
  captureTarget_ = nullptr;
  hexStream_ = HexStream();
}

}  // namespace tarnvel::ipc
