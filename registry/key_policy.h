// SPDX-License-Identifier: Apache-2.0
// The registry key policy and the value-name rule. Pure functions of their arguments.
#pragma once
#include <cstddef>
#include <cstdint>
#include "base/protocol.h"
#include "base/text.h"
#include <utility>
#include "policy/judgement.h"
#include "policy/normalise.h"
#include "policy/verdict.h"

namespace tarnvel::registry {

// The registry's policy is one of the policies: it speaks their verdicts.
using policy::Allow;
using policy::CanonicalRegistryKey;
using policy::HasDotDotComponent;
using policy::Judgement;
using policy::MalformedKey;
using policy::NormaliseForPolicy;
using policy::OutsideSubtree;
using policy::PolicyVerdict;
using policy::UnknownHive;
using policy::VerdictText;
using policy::WriteToReadOnlyHive;

// Where the registry bounds a text. A key's name (each component) takes 255 units and a value's
// name 16,383; a key text the registry calls get is cut at 32,766 units without a word (a
// counted string's limit, on Windows and Wine alike), so a longer one would act on another
// key. Longer texts are malformed, refused before anything acts.
constexpr size_t MaxKeyNameUnits = 255;
constexpr size_t MaxKeyTextUnits = 32766;
constexpr size_t MaxValueNameUnits = 16383;

[[nodiscard]] PolicyVerdict CheckRegistryKey(int32_t hiveSelector, const Text& key, bool isWrite);
// No NUL or separator, and within the registry's bound.
[[nodiscard]] bool IsValidValueName(const Text& name);

// A registry key the key policy allowed for one hive and one access, in the canonical form
// the registry operations act on (separators as judged, letter case kept).
class JudgedKey {
 public:
  int32_t hive() const { return hive_; }
  const Text& key() const { return key_; }

 private:
  JudgedKey(int32_t hive, Text canonicalKey) : hive_(hive), key_(std::move(canonicalKey)) {}
  friend Judgement<JudgedKey> JudgeKey(int32_t hive, const Text& key, bool isWrite);
  int32_t hive_;
  Text key_;
};
Judgement<JudgedKey> JudgeKey(int32_t hive, const Text& key, bool isWrite);

}  // namespace tarnvel::registry
