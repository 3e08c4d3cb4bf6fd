// SPDX-License-Identifier: Apache-2.0
#include "requests/url_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include "base/ascii.h"
#include "base/decimal.h"

namespace tarnvel::requests {

namespace {

constexpr size_t MaxHttpUrlLength = 2048;

bool IsForbiddenUrlUnit(char16_t c) { return c <= 0x20 || c == 0x7F || c == u'"' || c == u'\\'; }

}  // namespace

bool ParseHttpCheckId(const Text& idText, uint32_t& id) {
  uint64_t value = 0;
  if (idText.size() > 10 || !ParseDecimalDigits(idText, UINT64_MAX, value)) return false;
  id = value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
  return true;
}

Text HttpCheckResultText(uint32_t statusCode, uint32_t errorCode) {
  const std::string text = errorCode != 0 ? "error " + std::to_string(errorCode) : "http " + std::to_string(statusCode);
  return AsciiText(text.c_str());
}

PolicyVerdict CheckHttpUrl(const Text& url) {
  if (url.empty() || url.size() > MaxHttpUrlLength) return MalformedKey;
  for (char16_t c : url) {
    if (IsForbiddenUrlUnit(c)) return MalformedKey;
  }

  const Text lower = AsciiLower(url);

  size_t authorityStart;
  if (StartsWith(lower, u"http://")) {
    authorityStart = 7;
  } else if (StartsWith(lower, u"https://")) {
    authorityStart = 8;
  } else {
    return OutsideSubtree;
  }

  size_t authorityEnd = lower.find_first_of(u"/?#", authorityStart);
  if (authorityEnd == Text::npos) authorityEnd = lower.size();
  const Text authority = lower.substr(authorityStart, authorityEnd - authorityStart);

  // User information could make the address shown to a person differ from the one reached.
  if (authority.empty() || authority.find(u'@') != Text::npos || authority[0] == u':' || authority[0] == u'.') {
    return MalformedKey;
  }
  return Allow;
}

Text HttpUrlHost(const Text& url) {
  const Text lower = AsciiLower(url);
  size_t start = 0;
  if (StartsWith(lower, u"http://")) {
    start = 7;
  } else if (StartsWith(lower, u"https://")) {
    start = 8;
  } else {
    return Text();
  }
  size_t end = lower.find_first_of(u"/?#", start);
  if (end == Text::npos) end = lower.size();
  Text host = lower.substr(start, end - start);
  const size_t at = host.rfind(u'@');
  if (at != Text::npos) host.erase(0, at + 1);
  if (StartsWith(host, u"[")) {
    const size_t close = host.find(u']');
    return close == Text::npos ? Text() : host.substr(0, close + 1);
  }
  const size_t colon = host.find(u':');
  if (colon != Text::npos) host.resize(colon);
  while (!host.empty() && host.back() == u'.') host.pop_back();
  return host;
}

}  // namespace tarnvel::requests
