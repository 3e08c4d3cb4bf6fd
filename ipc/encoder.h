// SPDX-License-Identifier: Apache-2.0
// Builds one message of the wire format (ipc/wire_format.h) in one word array.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include "ipc/param.h"
#include "ipc/wire_format.h"

namespace tarnvel::ipc {

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

}  // namespace tarnvel::ipc
