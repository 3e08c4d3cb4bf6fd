// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/json.h"

#include <cstdio>

namespace tarnvel::host {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

void AppendEscape(std::string& out, uint32_t unit) {
  char buf[8];
  snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(unit));
  out += buf;
}

bool IsHigh(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Appends one code point (or a lone surrogate) to a JSON string's body.
void AppendJson(std::string& out, uint32_t cp) {
  switch (cp) {
    case u'"':
      out += "\\\"";
      return;
    case u'\\':
      out += "\\\\";
      return;
    case u'\n':
      out += "\\n";
      return;
    case u'\r':
      out += "\\r";
      return;
    case u'\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (cp < 0x20 || cp == 0x7F || IsHigh(cp) || IsLow(cp)) {
    AppendEscape(out, cp);
  } else {
    AppendUtf8(out, cp);
  }
}

}  // namespace

std::string JsonString(const Text& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (IsHigh(cp) && i + 1 < text.size() && IsLow(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    }
    AppendJson(out, cp);
  }
  out += "\"";
  return out;
}

std::string JsonStringFromBytes(const std::string& bytes) {
  std::string out = "\"";
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = len == 1 ? b : b & (0x7Fu >> len);
    bool ok = len != 0 && i + len <= bytes.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      AppendUtf8(out, 0xFFFD);
      ++i;
      continue;
    }
    AppendJson(out, cp);
    i += len;
  }
  out += "\"";
  return out;
}

JsonObject& JsonObject::Raw(const char* name, const std::string& json) {
  if (!members_.empty()) members_ += ",";
  members_ += "\"";
  members_ += name;  // member names are this program's own, plain ASCII
  members_ += "\":";
  members_ += json;
  return *this;
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    out += values[i];
  }
  return out + "]";
}

}  // namespace tarnvel::host
