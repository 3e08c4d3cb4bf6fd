// SPDX-License-Identifier: Apache-2.0
#include "sdk/reply_text.h"

#include "base/decimal.h"
#include "base/hex.h"
#include "base/nul_list.h"

namespace tarnvel::host::detail {

namespace {
// The broker writes at most 20 digits (UINT64_MAX has 20); a longer text is not its form.
constexpr size_t MaxDigits = 20;
}  // namespace

bool ParseUnsigned32(const std::u16string& text, uint32_t& out) {
  uint64_t v = 0;
  if (text.size() > MaxDigits || !ParseDecimalDigits(text, UINT32_MAX, v)) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool ParseUnsigned64(const std::u16string& text, uint64_t& out) {
  return text.size() <= MaxDigits && ParseDecimalDigits(text, UINT64_MAX, out);
}

std::u16string DecimalText(uint64_t value) { return FormatUnsignedDecimal(value); }

std::u16string HexText(const uint8_t* bytes, size_t count) { return EncodeHexLower(bytes, count); }

bool DecodeHexText(const std::u16string& text, std::vector<uint8_t>& out) { return DecodeHex(text, out); }

bool ParseUrlPoll(const std::u16string& text, PollKind& kind, uint32_t& number) {
  if (text == u"pending") {
    kind = PollKind::Pending;
    number = 0;
    return true;
  }
  static const std::u16string http = u"http ", error = u"error ";
  if (text.compare(0, http.size(), http) == 0 && ParseUnsigned32(text.substr(http.size()), number)) {
    kind = PollKind::HttpStatus;
    return true;
  }
  if (text.compare(0, error.size(), error) == 0 && ParseUnsigned32(text.substr(error.size()), number)) {
    kind = PollKind::Error;
    return true;
  }
  return false;
}

bool SplitList(const std::u16string& text, std::vector<std::u16string>& out) {
  bool wellFormed = false;
  out = SplitNulTerminated(text, &wellFormed);
  return wellFormed;
}

}  // namespace tarnvel::host::detail
