// Whatever CheckHttpUrl admits must be a plain http/https address with a usable authority.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "requests/url_check.h"

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
    Require(v == Allow || v == OutsideSubtree || v == MalformedKey);
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
