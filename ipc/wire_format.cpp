#include "ipc/wire_format.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

// Words and payloads are moved with memcpy, which is only the wire layout on a
// little-endian host. Every Windows target is one; compilers that say otherwise stop here.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire format needs a little-endian host");
#endif

namespace ipc {
namespace {

uint64_t SignExtended(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }
uint32_t Low32(uint64_t word) { return static_cast<uint32_t>(word); }
int32_t Low32Signed(uint64_t word) { return static_cast<int32_t>(static_cast<uint32_t>(word)); }

bool IsValueCode(uint32_t code) { return code >= Int32Kind1 && code <= NullByteArray; }

}  // namespace

void Encoder::Open(uint32_t n) {
  words_.clear();
  // Room for the header, the type list, one data word per parameter and the trailer, so
  // that a message of plain values never reallocates.
  words_.reserve(std::max<size_t>(size_t{5} * n, size_t{n} + 6));
  words_.resize(size_t{n} + 5, 0);
  words_[0] = HeaderMagic;
  words_[2] = n;
  lastHeaderSlot_ = 3;
  count_ = n;
}

bool Encoder::AppendPayload(uint32_t typeWord, uint64_t length, const void* bytes, uint64_t byteCount) {
  // The length word is read back as a signed 32-bit number.
  if (length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
  // Sizes in 64 bits, bounded before they become size_t, so that a 32-bit build cannot wrap.
  const uint64_t payloadWords = (byteCount + 7) / 8;
  const size_t at = words_.size();
  if (static_cast<uint64_t>(at) + 1 + payloadWords + 1 > MaxTotalWords) return false;
  const size_t needed = at + 1 + static_cast<size_t>(payloadWords);
  if (needed + 1 > words_.capacity()) words_.reserve(std::max(needed + 1, words_.capacity() * 2));
  words_.resize(needed, 0);
  words_[at] = length;
  if (byteCount != 0) std::memcpy(&words_[at + 1], bytes, static_cast<size_t>(byteCount));
  words_[lastHeaderSlot_ + 1] = SignExtended(static_cast<int32_t>(typeWord));
  return true;
}

bool Encoder::Add(Param& param) {
  const size_t slot = lastHeaderSlot_ + 1;
  // A parameter beyond the announced count would land on the first data word.
  if (slot >= size_t{count_} + 4) return false;
  const uint32_t code = static_cast<uint32_t>(param.type);
  if (IsValueCode(code)) {
    if (words_.size() + 2 > MaxTotalWords) return false;
    uint64_t word = ~uint64_t{0};
    switch (code) {
      case Int32Kind1:
      case Int32Kind2:
      case Int32Kind3:
      case Int32Kind4:
        word = SignExtended(static_cast<int32_t>(param.value));
        break;
      case Char8:
        word = static_cast<uint8_t>(param.value);
        break;
      case Char16:
        word = static_cast<uint16_t>(param.value);
        break;
      case PointerSized:
        word = width_ == PointerWidth::Bits64 ? static_cast<uint64_t>(param.value)
                                              : SignExtended(static_cast<int32_t>(param.value));
        break;
      default:  // the null forms: all ones
        break;
    }
    words_.push_back(word);
    words_[slot] = code;
  } else if (code == CString8 || code == String8 || code == ByteArray) {
    if (!AppendPayload(code | String8Flag, param.string8.size(), param.string8.data(), param.string8.size())) {
      return false;
    }
  } else if (code == CString16 || code == String16) {
    const uint64_t units = param.string16.size();
    if (!AppendPayload(code | String16Flag, units, param.string16.data(), units * sizeof(char16_t))) return false;
  } else {
    return false;
  }
  lastHeaderSlot_ = slot;
  return true;
}

void Encoder::Finish(int32_t id) {
  if (words_.size() < size_t{count_} + 5) return;  // no Open
  words_[1] = SignExtended(id);
  words_[size_t{count_} + 4] = TypeListEnd;
  words_.push_back(MessageEnd);
  words_[3] = words_.size();
}

void Decoder::Append(const uint8_t* bytes, size_t count) {
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
  return DecodeResult::Error;
}

DecodeResult Decoder::Decode() {
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
        r = StepTrailer();
        break;
      case DecoderState::Complete:
        r = DecodeResult::Done;
        break;
    }
  } while (r == DecodeResult::Continue);
  last_ = r;
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
  state_ = DecoderState::Data;
  return ContinueIfWord();
}

DecodeResult Decoder::StepData() {
  // Nothing is delivered before the whole declared rest of the message is buffered.
  if (Available() < static_cast<uint64_t>(expectedWords_) * 8) return DecodeResult::NeedMore;
  // Parameters must end before the trailer slot of the declared total; one that reaches
  // past it (or has a negative length) makes the message malformed.
  const size_t dataEnd = offset_ + static_cast<size_t>(static_cast<uint64_t>(expectedWords_ - 1) * 8);
  for (const uint32_t type : types_) {
    if ((type & (String8Flag | String16Flag)) == 0) {
      if (dataEnd - offset_ < 8) return Fail();
      const uint64_t word = ReadWord();
      expectedWords_ -= 1;
      if (!IsValueCode(type)) return Fail();
      Param p;
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
      list_.Add(std::move(p));
      continue;
    }

    if (dataEnd - offset_ < 8) return Fail();
    const int32_t length = Low32Signed(ReadWord());
    if (length < 0) return Fail();
    const bool narrow = (type & String8Flag) != 0;  // both flags count as 8-bit
    // In 64 bits: a length near 2^31 UTF-16 units is 4 GiB of payload, which wraps a
    // 32-bit size_t and would pass the bound below.
    const uint64_t byteCount64 = narrow ? static_cast<uint64_t>(length) : static_cast<uint64_t>(length) * 2;
    const uint64_t payloadBytes64 = (byteCount64 + 7) / 8 * 8;
    if (payloadBytes64 > dataEnd - offset_) return Fail();
    const size_t byteCount = static_cast<size_t>(byteCount64);
    const size_t payloadBytes = static_cast<size_t>(payloadBytes64);
    const uint8_t* payload = buffer_.data() + offset_;
    offset_ += payloadBytes;
    expectedWords_ -= 1 + static_cast<int64_t>(payloadBytes / 8);

    const uint32_t code = type & ~(narrow ? String8Flag : String16Flag);
    Param p;
    p.type = static_cast<int32_t>(code);
    if (narrow) {
      if (code != CString8 && code != String8 && code != ByteArray) continue;  // dropped
      size_t n = byteCount;
      if (code == CString8) {
        if (const void* nul = std::memchr(payload, 0, n)) n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - payload);
      }
      p.string8.assign(reinterpret_cast<const char*>(payload), n);
    } else {
      if (code != CString16 && code != String16) continue;  // dropped
      // Copied in one pass (no zero-fill first): the payload starts on a word boundary of
      // the buffer and char_traits copies with memcpy.
      p.string16.assign(reinterpret_cast<const char16_t*>(payload), static_cast<size_t>(length));
      if (code == CString16) {
        const size_t nul = p.string16.find(u'\0');
        if (nul != Text::npos) p.string16.resize(nul);
      }
    }
    list_.Add(std::move(p));
  }
  types_.clear();
  state_ = DecoderState::Trailer;
  return ContinueIfWord();
}

DecodeResult Decoder::StepTrailer() {
  if (Available() < 8) return DecodeResult::NeedMore;
  if (Low32(ReadWord()) != MessageEnd) return Fail();
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
  offset_ = 0;
  state_ = DecoderState::Complete;
  return DecodeResult::Done;
}

void Decoder::Reset() {
  state_ = DecoderState::Header;
  declaredCount_ = -1;
  expectedWords_ = -1;
  offset_ = 0;
  last_ = DecodeResult::None;
  types_.clear();
  list_.Clear();
  list_.id = -1;
}

void Decoder::ReleaseBuffers() {
  std::vector<uint8_t>().swap(buffer_);
  std::vector<uint32_t>().swap(types_);
  offset_ = 0;
}

}  // namespace ipc
