// SPDX-License-Identifier: Apache-2.0
// What a service answers besides its status: a text, or a source that produces a large text
// piece by piece while the reply message is being written, so the text is never held whole.
// The channel library alone turns either into a message.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include "base/text.h"

namespace tarnvel::ipc {

// The channel asks, in this order: Units(); Load(), before any byte of the reply is written;
// then Produce() until Units() code units were produced or it fails. A source holds all it
// needs itself: the request's texts are given back before its reply is made.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // The text's length in UTF-16 code units, known before any of it is produced.
  virtual uint64_t Units() const = 0;
  // Makes sure the whole text can be had. False when it cannot; the reply then carries the
  // body's unloadedStatus and an empty text. May throw (memory exhausted): nothing is written yet.
  [[nodiscard]] virtual bool Load() = 0;
  // The next `units` code units of the text as UTF-16LE into `out` (2 * units bytes), going on
  // where the previous call stopped. False only when what Load() vouched for was lost since
  // (a disk failing between two reads of a locked file): part of the reply is on the wire by
  // then, so the channel stops the message there and the connection ends; the peer never
  // gets a message whose text is not the source's.
  [[nodiscard]] virtual bool Produce(uint8_t* out, size_t units) noexcept = 0;
};

struct ReplyBody {
  Text text;
  std::unique_ptr<TextSource> source;  // when set, the reply's text comes from it, not `text`
  int32_t unloadedStatus = 0;          // the status in place of the request's when the source cannot load

  void Clear() {
    text.clear();
    source.reset();
    unloadedStatus = 0;
  }
};

}  // namespace tarnvel::ipc
