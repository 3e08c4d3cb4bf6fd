// SPDX-License-Identifier: Apache-2.0
#include "sdk/reply_text.h"

namespace tarnvel::host::detail {
namespace {

bool ParseUnsigned(const std::u16string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    uint64_t digit = static_cast<uint64_t>(c - u'0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

bool ParseUnsigned32(const std::u16string& text, uint32_t& out) {
  uint64_t v = 0;
  if (!ParseUnsigned(text, UINT32_MAX, v)) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool ParseUnsigned64(const std::u16string& text, uint64_t& out) { return ParseUnsigned(text, UINT64_MAX, out); }

std::u16string DecimalText(uint64_t value) {
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return out;
}

std::u16string HexText(const uint8_t* bytes, size_t count) {
  static const char16_t digits[] = u"0123456789abcdef";
  std::u16string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

bool DecodeHexText(const std::u16string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  out.swap(bytes);
  return true;
}

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
  out.clear();
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\0') {
      out.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return start == text.size();
}

}  // namespace tarnvel::host::detail
