// SPDX-License-Identifier: Apache-2.0
#include "ipc/encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace tarnvel::ipc {

namespace {

uint64_t SignExtended(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

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
  deferred_ = false;
  deferredBytes_ = 0;
  deferredWords_ = 0;
}

bool Encoder::FitsPayload(uint64_t length, uint64_t byteCount, size_t& slot, uint64_t& payloadWords) const {
  slot = lastHeaderSlot_ + 1;
  // A parameter beyond the announced count would land on the first data word.
  if (slot >= size_t{count_} + 4) return false;
  // The length word is read back as a signed 32-bit number.
  if (length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;
  // Sizes in 64 bits, bounded before they become size_t, so that a 32-bit build cannot wrap.
  payloadWords = (byteCount + 7) / 8;
  return static_cast<uint64_t>(words_.size()) + 1 + payloadWords + 1 <= MaxTotalWords;
}

uint8_t* Encoder::AppendPayload(uint32_t typeWord, uint64_t length, uint64_t byteCount) {
  size_t slot = 0;
  uint64_t payloadWords = 0;
  if (!FitsPayload(length, byteCount, slot, payloadWords)) return nullptr;
  const size_t at = words_.size();
  const size_t needed = at + 1 + static_cast<size_t>(payloadWords);
  // Room for the trailer too; a single large payload is allocated once at its own size.
  if (needed + 1 > words_.capacity()) words_.reserve(std::max(needed + 1, words_.capacity() * 2));
  words_.resize(needed);
  words_[at] = length;
  // The last payload word's padding; the bytes before it are the caller's to write.
  if (payloadWords != 0) words_[needed - 1] = 0;
  words_[slot] = SignExtended(static_cast<int32_t>(typeWord));
  lastHeaderSlot_ = slot;
  return reinterpret_cast<uint8_t*>(words_.data() + at + 1);
}

bool Encoder::AddString16Deferred(uint64_t units) {
  size_t slot = 0;
  uint64_t payloadWords = 0;
  // Units of 2 bytes: 2^31 units is 4 GiB, so the product stays in 64 bits.
  if (!FitsPayload(units, units * sizeof(char16_t), slot, payloadWords)) return false;
  // The trailer comes right after the payload, so nothing may follow it.
  if (slot != size_t{count_} + 3) return false;
  words_.push_back(units);
  words_[slot] = SignExtended(static_cast<int32_t>(static_cast<uint32_t>(String16) | String16Flag));
  lastHeaderSlot_ = slot;
  deferred_ = true;
  deferredBytes_ = units * sizeof(char16_t);
  deferredWords_ = payloadWords;
  return true;
}

size_t Encoder::Tail(uint8_t (&out)[MaxTailBytes]) const {
  if (!deferred_) return 0;
  const size_t padding = static_cast<size_t>(deferredWords_ * 8 - deferredBytes_);
  const uint64_t end = MessageEnd;
  std::memset(out, 0, padding);
  std::memcpy(out + padding, &end, sizeof end);
  return padding + sizeof end;
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
    lastHeaderSlot_ = slot;
    return true;
  }
  if (code == CString8 || code == String8 || code == ByteArray) {
    const uint64_t n = param.string8.size();
    uint8_t* payload = AppendPayload(code | String8Flag, n, n);
    if (payload == nullptr) return false;
    if (n != 0) std::memcpy(payload, param.string8.data(), static_cast<size_t>(n));
    return true;
  }
  if (code == CString16 || code == String16) {
    const uint64_t units = param.string16.size();
    // Units of 2 bytes: 2^31 units is 4 GiB, so the product stays in 64 bits.
    uint8_t* payload = AppendPayload(code | String16Flag, units, units * sizeof(char16_t));
    if (payload == nullptr) return false;
    if (units != 0) std::memcpy(payload, param.string16.data(), static_cast<size_t>(units) * sizeof(char16_t));
    return true;
  }
  return false;
}

bool Encoder::Build(int32_t id, Param* params, uint32_t n) {
  Open(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (!Add(params[i])) {
      words_.clear();
      return false;
    }
  }
  Finish(id);
  return true;
}

void Encoder::Finish(int32_t id) {
  if (words_.size() < size_t{count_} + 5) return;  // no Open
  words_[1] = SignExtended(id);
  words_[size_t{count_} + 4] = TypeListEnd;
  if (deferred_) {
    // Bounded by MaxTotalWords when the payload was deferred.
    words_[3] = words_.size() + deferredWords_ + 1;
    return;
  }
  words_.push_back(MessageEnd);
  words_[3] = words_.size();
}

}  // namespace tarnvel::ipc
