#include "requests/url_check.h"

#include <cstddef>

namespace {

constexpr size_t MaxHttpUrlLength = 2048;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c; }

bool IsForbiddenUrlUnit(char16_t c) { return c <= 0x20 || c == 0x7F || c == u'"' || c == u'\\'; }

bool StartsWith(const Text& s, const char16_t* prefix) {
  size_t i = 0;
  for (; prefix[i] != 0; ++i) {
    if (i >= s.size() || s[i] != prefix[i]) return false;
  }
  return true;
}

}  // namespace

PolicyVerdict CheckHttpUrl(const Text& url) {
  if (url.empty() || url.size() > MaxHttpUrlLength) return MalformedKey;
  for (char16_t c : url) {
    if (IsForbiddenUrlUnit(c)) return MalformedKey;
  }

  Text lower(url);
  for (char16_t& c : lower) c = FoldAscii(c);

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
  if (authority.empty() || authority.find(u'@') != Text::npos || authority[0] == u':' ||
      authority[0] == u'.') {
    return MalformedKey;
  }
  return Allow;
}
