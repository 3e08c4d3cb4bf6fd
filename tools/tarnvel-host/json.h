// SPDX-License-Identifier: Apache-2.0
// JSON texts for tarnvel-host --json. Pure: no Win32 here, so the escaping is tested
// natively.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"

namespace tarnvel::host {

// Appends one code point (up to U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, uint32_t codePoint);

// A JSON string literal of UTF-16 text, in UTF-8. Surrogate pairs become their character;
// a lone surrogate becomes its \uXXXX escape, so the text's exact units survive; ", \ and
// the controls U+0000 to U+001F are escaped, and so is U+007F for the eye.
std::string JsonString(const Text& text);

// A JSON string literal of bytes that should be UTF-8 (a debugger line): every byte that is
// not part of a valid UTF-8 sequence stands as U+FFFD.
std::string JsonStringFromBytes(const std::string& bytes);

// One JSON object, its members in the order they were added.
class JsonObject {
 public:
  JsonObject& Raw(const char* name, const std::string& json);
  JsonObject& String(const char* name, const Text& text) { return Raw(name, JsonString(text)); }
  JsonObject& Bytes(const char* name, const std::string& bytes) { return Raw(name, JsonStringFromBytes(bytes)); }
  JsonObject& Number(const char* name, long long n) { return Raw(name, std::to_string(n)); }
  JsonObject& Bool(const char* name, bool b) { return Raw(name, b ? "true" : "false"); }
  std::string Json() const { return "{" + members_ + "}"; }

 private:
  std::string members_;
};

// A JSON array of already-made JSON values.
std::string JsonArray(const std::vector<std::string>& values);

}  // namespace tarnvel::host
