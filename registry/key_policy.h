// SPDX-License-Identifier: Apache-2.0
// The registry key policy and what every policy shares: verdict codes and texts, the one
// normalisation of keys and paths, the ".." test, the write classification of op codes
// and the value-name rule. Pure functions of their arguments.
#pragma once
#include <cstdint>
#include "base/protocol.h"
#include "base/text.h"

enum PolicyVerdict : int32_t {
  Allow = 0,
  UnknownHive = 1,
  OutsideSubtree = 2,
  MalformedKey = 3,
  WriteToReadOnlyHive = 4,
};

// Narrow text for debugger lines; codes outside 0-4 give "denied".
const char* VerdictText(int32_t code);

// Separator runs ('/' or '\') become one '\', leading and trailing separators vanish,
// 'A'-'Z' fold to 'a'-'z'; nothing else changes.
Text NormaliseForPolicy(const Text& text);

// The key as the registry operations use it: separator runs become one '\', leading and
// trailing separators vanish, letter case is kept. NormaliseForPolicy is this, lower-cased,
// so the registry acts on exactly the key that was judged.
Text CanonicalRegistryKey(const Text& key);

// True when a normalised text has a component that is exactly "..".
bool HasDotDotComponent(const Text& normalised);

[[nodiscard]] PolicyVerdict CheckRegistryKey(int32_t hiveSelector, const Text& key, bool isWrite);
[[nodiscard]] bool IsValidValueName(const Text& name);

// A registry key as the key policy judged it for one hive and one access.
class JudgedKey {
 public:
  [[nodiscard]] PolicyVerdict verdict() const { return verdict_; }
  [[nodiscard]] bool allowed() const { return verdict_ == Allow; }
  int32_t hive() const { return hive_; }
  const Text& key() const { return key_; }  // as carried; the registry canonicalises it

 private:
  JudgedKey(int32_t hive, const Text& key, PolicyVerdict verdict) : hive_(hive), key_(key), verdict_(verdict) {}
  friend JudgedKey JudgeKey(int32_t hive, const Text& key, bool isWrite);
  int32_t hive_;
  Text key_;
  PolicyVerdict verdict_;
};
[[nodiscard]] JudgedKey JudgeKey(int32_t hive, const Text& key, bool isWrite);
