// SPDX-License-Identifier: Apache-2.0
// What a service answers besides its status: a text, or a source that produces a large text
// straight into the room the reply message makes for it, so the text is never held twice.
// The channel library alone turns either into a message.
#pragma once
#include <cstdint>
#include <memory>
#include "base/text.h"

namespace ipc {

class TextSource {
 public:
  virtual ~TextSource() = default;
  // The text's length in UTF-16 code units, known before any of it is produced.
  virtual uint64_t Units() const = 0;
  // Writes the whole text as UTF-16LE into `room` (2 * Units() bytes). False when the text
  // cannot be had after all; the reply then carries `unfilledStatus` and an empty text.
  [[nodiscard]] virtual bool Fill(uint8_t* room) = 0;
  virtual int32_t unfilledStatus() const = 0;
};

struct ReplyBody {
  Text text;
  std::unique_ptr<TextSource> source;  // when set, the reply's text comes from it, not `text`

  void Clear() {
    text.clear();
    source.reset();
  }
};

}  // namespace ipc
