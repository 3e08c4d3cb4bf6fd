// SPDX-License-Identifier: Apache-2.0
// CheckHttpUrl against the URL rules worked out independently: the exact verdict for every
// input, and whatever it admits is a plain http/https address with a usable authority.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "requests/url_check.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c; }

bool HasFoldedPrefix(const Text& s, const char16_t* prefix) {
  size_t i = 0;
  for (; prefix[i] != 0; ++i) {
    if (i >= s.size() || Fold(s[i]) != prefix[i]) return false;
  }
  return true;
}

void Require(bool condition) {
  if (!condition) abort();
}

void CheckAllowed(const Text& url) {
  Require(!url.empty() && url.size() <= 2048);
  for (char16_t c : url) {
    Require(c > 0x20 && c != 0x7F && c != u'"' && c != u'\\');
  }
  size_t start;
  if (HasFoldedPrefix(url, u"http://")) {
    start = 7;
  } else {
    Require(HasFoldedPrefix(url, u"https://"));
    start = 8;
  }
  size_t end = start;
  while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#') ++end;
  Require(end > start);
  for (size_t i = start; i < end; ++i) Require(url[i] != u'@');
  Require(url[start] != u':' && url[start] != u'.');
}

// Malformed: empty, too long, a blank, control, '"' or '\\' anywhere, or an authority that is
// empty, holds user information or starts with ':' or '.'. Outside: any other scheme.
PolicyVerdict ExpectedVerdict(const Text& url) {
  if (url.empty() || url.size() > 2048) return MalformedKey;
  for (char16_t c : url) {
    if (c <= 0x20 || c == 0x7F || c == u'"' || c == u'\\') return MalformedKey;
  }
  size_t start;
  if (HasFoldedPrefix(url, u"http://")) {
    start = 7;
  } else if (HasFoldedPrefix(url, u"https://")) {
    start = 8;
  } else {
    return OutsideSubtree;
  }
  size_t end = start;
  while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#') ++end;
  if (end == start || url[start] == u':' || url[start] == u'.') return MalformedKey;
  for (size_t i = start; i < end; ++i) {
    if (url[i] == u'@') return MalformedKey;
  }
  return Allow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two views of the input: bytes as code units (reaches ASCII structure quickly) and
  // pairs of bytes as UTF-16 units (reaches units above 0xFF).
  Text narrow(data, data + size);
  Text wide;
  for (size_t i = 0; i + 1 < size; i += 2) {
    wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  for (const Text* url : {&narrow, &wide}) {
    PolicyVerdict v = CheckHttpUrl(*url);
    Require(v == ExpectedVerdict(*url));
    if (v == Allow) CheckAllowed(*url);
    // Letter case of ASCII never changes the verdict.
    Text upper(*url);
    for (char16_t& c : upper) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    }
    Require(CheckHttpUrl(upper) == v);
  }
  return 0;
}
