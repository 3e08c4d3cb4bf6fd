// SPDX-License-Identifier: Apache-2.0
// The registry key policy and the value-name rule. Pure functions of their arguments.
#pragma once
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

[[nodiscard]] PolicyVerdict CheckRegistryKey(int32_t hiveSelector, const Text& key, bool isWrite);
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
